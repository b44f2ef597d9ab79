// Folders: loaded whole into memory, read as a list of names (long name
// entries checked against their short entry), changed in memory and written
// back sector by sector. Also the walk from a path to the folder it ends in.
#include <algorithm>

#include "module/fat_internal.h"

namespace {

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::vector<std::u16string_view> Components(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && IsSeparator(path[i])) i++;
    size_t start = i;
    while (i < path.size() && !IsSeparator(path[i])) i++;
    if (i > start) parts.push_back(path.substr(start, i - start));
  }
  return parts;
}

// Long name entries gathered so far, waiting for their short entry.
struct LongRun {
  bool active = false;
  uint32_t first = 0;
  uint32_t expect = 0;  // order of the next entry; 0 when all have been seen
  uint8_t checksum = 0;
  char16_t units[kFatMaxLongEntries * kFatLongEntryUnits] = {};
  uint32_t count = 0;
};

void TakeLongEntry(const uint8_t* e, uint32_t slot, LongRun* run) {
  uint32_t order = e[0] & 0x1F;
  if (e[0] & kFatLastLongEntry) {
    run->active = order >= 1 && order <= kFatMaxLongEntries;
    run->first = slot;
    run->count = order;
    run->checksum = e[kFatOffLongChecksum];
  } else if (!run->active || order == 0 || order != run->expect || e[kFatOffLongChecksum] != run->checksum) {
    run->active = false;  // out of order: an orphan, like everything gathered before it
  }
  if (!run->active) return;
  FatLongEntryUnits(e, run->units + (order - 1) * kFatLongEntryUnits);
  run->expect = order - 1;
}

// The long name a run spells, or empty when it does not belong to `shortName`.
std::u16string LongNameFor(const LongRun& run, const FatShortName& shortName) {
  if (!run.active || run.expect != 0 || run.checksum != FatShortChecksum(shortName)) return {};
  std::u16string_view units(run.units, run.count * kFatLongEntryUnits);
  size_t end = units.find(u'\0');
  if (end == std::u16string_view::npos) end = units.size();
  if (end == 0 || end > kFatMaxNameUnits) return {};
  return std::u16string(units.substr(0, end));
}

// The slot of the end mark: every slot from there on counts as free.
uint32_t EndSlot(const FatDir& dir) {
  for (uint32_t s = 0; s < dir.slots; s++) {
    if (dir.bytes[size_t{s} * kFatDirEntryBytes] == 0) return s;
  }
  return dir.slots;
}

// First slot of `need` free slots in a row, or dir.slots when there is no such run.
uint32_t FreeRun(const FatDir& dir, uint32_t need) {
  uint32_t end = EndSlot(dir);
  uint32_t run = 0;
  for (uint32_t s = 0; s < dir.slots; s++) {
    uint8_t mark = dir.bytes[size_t{s} * kFatDirEntryBytes];
    run = s >= end || mark == kFatDeleted ? run + 1 : 0;
    if (run == need) return s + 1 - need;
  }
  return dir.slots;
}

FatResult Grow(FatVolume* v, FatDir* dir) {
  if (dir->lastCluster == 0) return FatResult::DiskFull;  // the fixed root cannot grow
  if (size_t{dir->slots} + v->clusterBytes / kFatDirEntryBytes > kFatMaxDirEntries) return FatResult::DiskFull;
  std::vector<uint32_t> added;
  FatResult r = FatAllocate(v, 1, dir->lastCluster, &added);
  if (r != FatResult::Ok) return r;
  dir->lastCluster = added[0];
  for (uint32_t i = 0; i < v->sectorsPerCluster; i++) {
    dir->sectors.push_back(FatClusterSector(*v, added[0]) + i);
    dir->dirty.push_back(true);  // the new cluster must read as empty
  }
  dir->bytes.resize(dir->bytes.size() + v->clusterBytes, 0);
  dir->slots += v->clusterBytes / kFatDirEntryBytes;
  return FatResult::Ok;
}

}  // namespace

uint32_t FatEntryCluster(const FatVolume& v, const uint8_t* shortEntry) {
  uint32_t high = v.type == FatType::Fat32 ? LoadLe16(shortEntry + kFatOffClusterHigh) : 0;
  return high << 16 | LoadLe16(shortEntry + kFatOffClusterLow);
}

void FatSetEntryCluster(const FatVolume& v, uint8_t* shortEntry, uint32_t cluster) {
  StoreLe16(shortEntry + kFatOffClusterHigh, v.type == FatType::Fat32 ? static_cast<uint16_t>(cluster >> 16) : 0);
  StoreLe16(shortEntry + kFatOffClusterLow, static_cast<uint16_t>(cluster));
}

FatResult FatDirLoad(FatVolume* v, uint32_t cluster, FatDir* dir) {
  *dir = FatDir();
  dir->cluster = cluster;
  dir->sectorBytes = v->sectorBytes;
  uint32_t first = cluster == 0 ? v->rootCluster : cluster;
  if (cluster == 0 && v->type != FatType::Fat32) {
    uint32_t rootSectors = (v->rootEntries * kFatDirEntryBytes + v->sectorBytes - 1) / v->sectorBytes;
    for (uint32_t i = 0; i < rootSectors; i++) dir->sectors.push_back(v->rootStart + i);
    dir->slots = v->rootEntries;
  } else {
    std::vector<uint32_t> chain;
    uint32_t limit = std::max<uint32_t>(1, kFatMaxDirEntries * kFatDirEntryBytes / v->clusterBytes);
    FatResult r = FatChain(v, first, limit, &chain);
    if (r != FatResult::Ok) return r;
    if (chain.empty()) return FatResult::Corrupt;
    for (uint32_t c : chain) {
      for (uint32_t i = 0; i < v->sectorsPerCluster; i++) dir->sectors.push_back(FatClusterSector(*v, c) + i);
    }
    dir->lastCluster = chain.back();
    dir->slots = static_cast<uint32_t>(chain.size() * (v->clusterBytes / kFatDirEntryBytes));
  }
  dir->bytes.resize(dir->sectors.size() * v->sectorBytes);
  dir->dirty.assign(dir->sectors.size(), false);
  // Sectors in runs, so that a folder of whole clusters takes few reads.
  for (size_t i = 0; i < dir->sectors.size();) {
    size_t n = 1;
    while (i + n < dir->sectors.size() && dir->sectors[i + n] == dir->sectors[i] + n) n++;
    FatResult r =
        FatDeviceRead(v->device, dir->sectors[i], static_cast<uint32_t>(n), dir->bytes.data() + i * v->sectorBytes);
    if (r != FatResult::Ok) return r;
    i += n;
  }
  return FatResult::Ok;
}

FatResult FatDirSave(FatVolume* v, FatDir* dir) {
  for (size_t i = 0; i < dir->sectors.size(); i++) {
    if (!dir->dirty[i]) continue;
    FatResult r = FatDeviceWrite(v->device, dir->sectors[i], 1, dir->bytes.data() + i * v->sectorBytes);
    if (r != FatResult::Ok) return r;
    dir->dirty[i] = false;
  }
  return FatResult::Ok;
}

void FatDirScan(const FatVolume& v, const FatDir& dir, std::vector<FatDirEntry>* entries) {
  entries->clear();
  LongRun run;
  for (uint32_t s = 0; s < dir.slots; s++) {
    const uint8_t* e = dir.bytes.data() + size_t{s} * kFatDirEntryBytes;
    if (e[0] == 0) break;
    if (e[0] == kFatDeleted) {
      run.active = false;
      continue;
    }
    uint8_t attributes = e[kFatOffAttributes];
    if ((attributes & kFatAttributeMask) == kFatLongNameAttributes) {
      TakeLongEntry(e, s, &run);
      continue;
    }
    FatDirEntry entry;
    std::copy(e, e + entry.shortName.size(), entry.shortName.begin());
    entry.longName = LongNameFor(run, entry.shortName);
    entry.first = entry.longName.empty() ? s : run.first;
    entry.slot = s;
    entry.attributes = attributes;
    entry.caseFlags = e[kFatOffCase];
    entry.cluster = FatEntryCluster(v, e);
    entry.size = LoadLe32(e + kFatOffSize);
    entry.dot = e[0] == '.';
    entry.label = (attributes & (kFatVolumeId | kFatDirectory)) == kFatVolumeId;
    entry.longRefused = !entry.longName.empty() && !FatLongNameLegal(entry.longName);
    entry.shortRefused = !entry.dot && !entry.label && !FatShortNameLegal(entry.shortName);
    entries->push_back(std::move(entry));
    run.active = false;
  }
}

int FatDirFind(const std::vector<FatDirEntry>& entries, std::u16string_view name) {
  for (size_t i = 0; i < entries.size(); i++) {
    const FatDirEntry& e = entries[i];
    if (e.dot || e.label) continue;
    if ((!e.longName.empty() && !e.longRefused && FatNamesEqual(e.longName, name)) ||
        (!e.shortRefused && FatNamesEqual(FatShortDisplay(e.shortName, 0), name))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

FatResult FatDirAdd(FatVolume* v, FatDir* dir, const std::vector<FatDirEntry>& entries, std::u16string_view name,
                    const uint8_t* shortEntry, uint32_t* slot) {
  FatShortName shortName{};
  std::vector<uint8_t> record;
  if (!FatPlainShortName(name, &shortName)) {
    std::vector<FatShortName> taken;
    for (const FatDirEntry& e : entries) taken.push_back(e.shortName);
    std::sort(taken.begin(), taken.end());
    if (!FatMakeAlias(name, taken, &shortName)) return FatResult::DiskFull;
    FatEncodeLongEntries(name, FatShortChecksum(shortName), &record);
  }
  size_t shortAt = record.size();
  record.insert(record.end(), shortEntry, shortEntry + kFatDirEntryBytes);
  std::copy(shortName.begin(), shortName.end(), record.begin() + shortAt);
  record[shortAt + kFatOffCase] = 0;

  uint32_t need = static_cast<uint32_t>(record.size() / kFatDirEntryBytes);
  uint32_t oldEnd = EndSlot(*dir);
  uint32_t start = FreeRun(*dir, need);
  while (start == dir->slots) {
    FatResult r = Grow(v, dir);
    if (r != FatResult::Ok) return r;
    start = FreeRun(*dir, need);
  }
  for (uint32_t i = 0; i < need; i++) {
    std::copy_n(record.data() + size_t{i} * kFatDirEntryBytes, kFatDirEntryBytes, FatSlot(dir, start + i));
    FatMarkSlot(dir, start + i);
  }
  // Slots past the old end mark may hold anything; the one after the new
  // entries must mark the end again.
  uint32_t after = start + need;
  if (after > oldEnd && after < dir->slots && *FatSlot(dir, after) != 0) {
    *FatSlot(dir, after) = 0;
    FatMarkSlot(dir, after);
  }
  *slot = start + need - 1;
  return FatResult::Ok;
}

void FatDirRemove(FatDir* dir, const FatDirEntry& entry) {
  for (uint32_t s = entry.first; s <= entry.slot; s++) {
    *FatSlot(dir, s) = kFatDeleted;
    FatMarkSlot(dir, s);
  }
}

FatResult FatResolve(FatVolume* v, std::u16string_view path, FatPlace* place) {
  *place = FatPlace();
  std::vector<std::u16string_view> parts = Components(path);
  std::vector<std::u16string> names(parts.size());
  for (size_t i = 0; i < parts.size(); i++) {
    FatResult r = FatCleanName(parts[i], &names[i]);
    if (r != FatResult::Ok) return r;
  }
  if (parts.empty()) {
    place->root = true;
    return FatResult::Ok;
  }
  uint32_t folder = 0;
  for (size_t i = 0;; i++) {
    place->trail.push_back(folder);
    FatResult r = FatDirLoad(v, folder, &place->parent);
    if (r != FatResult::Ok) return r;
    FatDirScan(*v, place->parent, &place->entries);
    place->found = FatDirFind(place->entries, names[i]);
    if (i + 1 == names.size()) break;
    if (place->found < 0) return FatResult::PathNotFound;
    const FatDirEntry& e = place->entries[place->found];
    if (!(e.attributes & kFatDirectory)) return FatResult::PathNotFound;
    if (e.cluster == 0) return FatResult::Corrupt;  // only ".." may name the root that way
    folder = e.cluster;
  }
  place->name = names.back();
  return FatResult::Ok;
}
