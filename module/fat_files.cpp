// The path-based operations on files and folders. Each resolves its path,
// makes its changes in memory, and writes them in an order that a cut
// leaves lost clusters at worst, never an entry pointing at free ones: the
// FAT before the entry that uses new clusters, the entry before the FAT
// when clusters are given up.
#include <algorithm>
#include <cstring>

#include "module/fat_internal.h"

namespace {

enum class IoMode { Read, Write, Zero };

uint64_t ClustersFor(const FatVolume& v, uint64_t bytes) { return (bytes + v.clusterBytes - 1) / v.clusterBytes; }

uint8_t* ShortEntryOf(FatPlace* place) { return FatSlot(&place->parent, place->entries[place->found].slot); }

const FatDirEntry& EntryOf(const FatPlace& place) { return place.entries[place.found]; }

void StampWritten(uint8_t* e, uint64_t time) {
  FatStamp stamp = FatStampFromFileTime(time);
  StoreLe16(e + kFatOffWrittenTime, stamp.time);
  StoreLe16(e + kFatOffWrittenDate, stamp.date);
}

void StampCreated(uint8_t* e, uint64_t time) {
  FatStamp stamp = FatStampFromFileTime(time);
  e[kFatOffCreatedTenths] = stamp.tenths;
  StoreLe16(e + kFatOffCreatedTime, stamp.time);
  StoreLe16(e + kFatOffCreatedDate, stamp.date);
}

void StampAccessed(uint8_t* e, uint64_t time) { StoreLe16(e + kFatOffAccessedDate, FatStampFromFileTime(time).date); }

// A short entry with everything but its name: a new file or folder.
void NewShortEntry(const FatVolume& v, uint8_t attributes, uint32_t cluster, uint64_t now, uint8_t* e) {
  std::memset(e, 0, kFatDirEntryBytes);
  e[kFatOffAttributes] = attributes;
  FatSetEntryCluster(v, e, cluster);
  StampCreated(e, now);
  StampWritten(e, now);
  StampAccessed(e, now);
}

FatEntryInfo InfoOf(const FatDir& dir, const FatDirEntry& entry) {
  const uint8_t* e = dir.bytes.data() + size_t{entry.slot} * kFatDirEntryBytes;
  FatEntryInfo info;
  std::u16string shortShown = FatShortDisplay(entry.shortName, entry.caseFlags);
  bool hasLong = !entry.longName.empty();
  info.nameRefused = hasLong ? entry.longRefused : entry.shortRefused;
  info.shown = FatShownName(hasLong ? entry.longName : shortShown);
  // A refused long name leaves the entry its alias, as a damaged one would.
  if (!entry.shortRefused) info.shortName = FatShortDisplay(entry.shortName, 0);
  if (!info.nameRefused) {
    info.name = hasLong ? entry.longName : shortShown;
  } else if (!entry.shortRefused) {
    info.name = shortShown;
  }
  info.attributes = entry.attributes;
  info.size = (entry.attributes & kFatDirectory) ? 0 : entry.size;
  info.created = FatFileTimeFromStamp(
      {LoadLe16(e + kFatOffCreatedDate), LoadLe16(e + kFatOffCreatedTime), e[kFatOffCreatedTenths]});
  info.written = FatFileTimeFromStamp({LoadLe16(e + kFatOffWrittenDate), LoadLe16(e + kFatOffWrittenTime), 0});
  info.accessed = FatFileTimeFromStamp({LoadLe16(e + kFatOffAccessedDate), 0, 0});
  return info;
}

// An existing entry (the root counts as one, with place->root set).
FatResult FindEntry(FatVolume* v, std::u16string_view path, FatPlace* place) {
  FatResult r = FatResolve(v, path, place);
  if (r != FatResult::Ok || place->root) return r;
  return place->found < 0 ? FatResult::NotFound : FatResult::Ok;
}

FatResult FindFile(FatVolume* v, std::u16string_view path, FatPlace* place) {
  FatResult r = FindEntry(v, path, place);
  if (r != FatResult::Ok) return r;
  if (place->root || (EntryOf(*place).attributes & kFatDirectory)) return FatResult::IsDirectory;
  return FatResult::Ok;
}

// An existing entry other than the root, which cannot be changed.
FatResult FindChangeable(FatVolume* v, std::u16string_view path, FatPlace* place) {
  FatResult r = FindEntry(v, path, place);
  if (r == FatResult::Ok && place->root) return FatResult::AccessDenied;
  return r;
}

// A name not yet taken, in a folder that exists.
FatResult FindNew(FatVolume* v, std::u16string_view path, FatPlace* place) {
  FatResult r = FatResolve(v, path, place);
  if (r != FatResult::Ok) return r;
  return place->root || place->found >= 0 ? FatResult::Exists : FatResult::Ok;
}

FatResult FileChain(FatVolume* v, const FatDirEntry& entry, std::vector<uint32_t>* chain) {
  FatResult r = FatChain(v, entry.cluster, v->clusterCount, chain);
  if (r != FatResult::Ok) return r;
  return chain->size() < ClustersFor(*v, entry.size) ? FatResult::Corrupt : FatResult::Ok;
}

// Moves bytes [pos, pos + length) of the file whose clusters are `chain`:
// whole sectors straight between the device and the caller's buffer, runs
// of adjacent clusters in one request, partial sectors through a copy.
FatResult FileIo(FatVolume* v, const std::vector<uint32_t>& chain, uint64_t pos, uint64_t length, IoMode mode,
                 uint8_t* out, const uint8_t* in) {
  const uint32_t bps = v->sectorBytes;
  std::vector<uint8_t> bounce(bps);
  uint64_t done = 0;
  while (done < length) {
    uint64_t at = pos + done;
    uint64_t k = at / v->clusterBytes;
    uint32_t within = static_cast<uint32_t>(at % v->clusterBytes);
    if (k >= chain.size()) return FatResult::Corrupt;
    size_t runEnd = k + 1;
    while (runEnd < chain.size() && chain[runEnd] == chain[runEnd - 1] + 1) runEnd++;
    uint64_t take = std::min(length - done, uint64_t{runEnd - k} * v->clusterBytes - within);
    uint32_t sector = FatClusterSector(*v, chain[k]) + within / bps;
    uint32_t head = within % bps;
    FatResult r = FatResult::Ok;
    if (head != 0 || take < bps) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(take, bps - head));
      r = FatDeviceRead(v->device, sector, 1, bounce.data());
      if (r == FatResult::Ok && mode == IoMode::Read) std::memcpy(out + done, bounce.data() + head, n);
      if (r == FatResult::Ok && mode != IoMode::Read) {
        if (mode == IoMode::Write) {
          std::memcpy(bounce.data() + head, in + done, n);
        } else {
          std::memset(bounce.data() + head, 0, n);
        }
        r = FatDeviceWrite(v->device, sector, 1, bounce.data());
      }
      done += n;
    } else {
      uint32_t count = static_cast<uint32_t>(take / bps);
      if (mode == IoMode::Read) r = FatDeviceRead(v->device, sector, count, out + done);
      if (mode == IoMode::Write) r = FatDeviceWrite(v->device, sector, count, in + done);
      if (mode == IoMode::Zero) r = FatDeviceZero(v->device, sector, count);
      done += uint64_t{count} * bps;
    }
    if (r != FatResult::Ok) return r;
  }
  return FatResult::Ok;
}

// Room for `newSize` bytes: clusters hung on the chain, and the bytes from
// `oldSize` to `zeroTo` cleared (new clusters hold whatever was there).
FatResult Extend(FatVolume* v, std::vector<uint32_t>* chain, uint32_t oldSize, uint64_t newSize, uint64_t zeroTo) {
  uint64_t need = ClustersFor(*v, newSize);
  if (chain->size() < need) {
    std::vector<uint32_t> added;
    FatResult r =
        FatAllocate(v, static_cast<uint32_t>(need - chain->size()), chain->empty() ? 0 : chain->back(), &added);
    if (r != FatResult::Ok) return r;
    chain->insert(chain->end(), added.begin(), added.end());
  }
  if (zeroTo <= oldSize) return FatResult::Ok;
  return FileIo(v, *chain, oldSize, zeroTo - oldSize, IoMode::Zero, nullptr, nullptr);
}

void SetShape(const FatVolume& v, FatPlace* place, const std::vector<uint32_t>& chain, uint32_t size, uint64_t now) {
  uint8_t* e = ShortEntryOf(place);
  FatSetEntryCluster(v, e, chain.empty() ? 0 : chain.front());
  StoreLe32(e + kFatOffSize, size);
  StampWritten(e, now);
  StampAccessed(e, now);
  e[kFatOffAttributes] |= kFatArchive;
  FatMarkSlot(&place->parent, EntryOf(*place).slot);
}

// The FAT first, then the folder whose entries may point at new clusters.
FatResult Commit(FatVolume* v, FatDir* dir) {
  FatResult r = FatFinish(v, FatResult::Ok);
  return r == FatResult::Ok ? FatDirSave(v, dir) : r;
}

// The entry first, then the clusters it no longer owns.
FatResult RemoveAndFree(FatVolume* v, FatPlace* place) {
  const FatDirEntry& entry = EntryOf(*place);
  FatDirRemove(&place->parent, entry);
  FatResult r = FatDirSave(v, &place->parent);
  if (r == FatResult::Ok) r = FatFreeChain(v, entry.cluster);
  return FatFinish(v, r);
}

FatResult ChangeEntry(FatVolume* v, std::u16string_view path, void (*change)(uint8_t* e, const void* arg),
                      const void* arg) {
  FatPlace place;
  FatResult r = FindChangeable(v, path, &place);
  if (r != FatResult::Ok) return FatFinish(v, r);
  change(ShortEntryOf(&place), arg);
  FatMarkSlot(&place.parent, EntryOf(place).slot);
  return Commit(v, &place.parent);
}

struct Times {
  const uint64_t* created;
  const uint64_t* accessed;
  const uint64_t* written;
};

void ApplyTimes(uint8_t* e, const void* arg) {
  const Times* t = static_cast<const Times*>(arg);
  if (t->created) StampCreated(e, *t->created);
  if (t->accessed) StampAccessed(e, *t->accessed);
  if (t->written) StampWritten(e, *t->written);
}

void ApplyAttributes(uint8_t* e, const void* arg) {
  uint8_t wanted = *static_cast<const uint8_t*>(arg);
  uint8_t kept = e[kFatOffAttributes] & static_cast<uint8_t>(~kFatSettableAttributes);
  e[kFatOffAttributes] = static_cast<uint8_t>(kept | (wanted & kFatSettableAttributes));
}

// A moved folder's ".." must name its new parent (0 for the root, on FAT32 too).
FatResult Reparent(FatVolume* v, uint32_t folder, uint32_t parent) {
  FatDir dir;
  FatResult r = FatDirLoad(v, folder, &dir);
  if (r != FatResult::Ok) return r;
  std::vector<FatDirEntry> entries;
  FatDirScan(*v, dir, &entries);
  for (const FatDirEntry& e : entries) {
    if (e.dot && e.shortName[1] == '.') {
      FatSetEntryCluster(*v, FatSlot(&dir, e.slot), parent);
      FatMarkSlot(&dir, e.slot);
    }
  }
  return FatDirSave(v, &dir);
}

}  // namespace

const char* FatResultName(FatResult result) {
  switch (result) {
    case FatResult::Ok:
      return "ok";
    case FatResult::NotFound:
      return "not found";
    case FatResult::PathNotFound:
      return "path not found";
    case FatResult::Exists:
      return "exists";
    case FatResult::NotEmpty:
      return "not empty";
    case FatResult::IsDirectory:
      return "is a directory";
    case FatResult::NotDirectory:
      return "not a directory";
    case FatResult::AccessDenied:
      return "access denied";
    case FatResult::DiskFull:
      return "disk full";
    case FatResult::InvalidName:
      return "invalid name";
    case FatResult::InvalidParameter:
      return "invalid parameter";
    case FatResult::TooLarge:
      return "too large";
    case FatResult::Corrupt:
      return "corrupt";
    case FatResult::IoError:
      return "i/o error";
  }
  return "?";
}

FatResult FatStat(FatVolume* v, std::u16string_view path, FatEntryInfo* info) {
  FatPlace place;
  FatResult r = FindEntry(v, path, &place);
  if (r == FatResult::Ok && info) {
    *info = FatEntryInfo();
    if (place.root) {
      info->attributes = kFatDirectory;
    } else {
      *info = InfoOf(place.parent, EntryOf(place));
    }
  }
  return FatFinish(v, r);
}

FatResult FatList(FatVolume* v, std::u16string_view path, std::vector<FatEntryInfo>* entries) {
  entries->clear();
  FatPlace place;
  FatResult r = FindEntry(v, path, &place);
  uint32_t folder = 0;
  if (r == FatResult::Ok && !place.root) {
    const FatDirEntry& e = EntryOf(place);
    if (!(e.attributes & kFatDirectory)) r = FatResult::NotDirectory;
    if (r == FatResult::Ok && e.cluster == 0) r = FatResult::Corrupt;
    folder = e.cluster;
  }
  FatDir dir;
  if (r == FatResult::Ok) r = FatDirLoad(v, folder, &dir);
  if (r == FatResult::Ok) {
    std::vector<FatDirEntry> found;
    FatDirScan(*v, dir, &found);
    for (const FatDirEntry& e : found) {
      if (!e.dot && !e.label) entries->push_back(InfoOf(dir, e));
    }
  }
  return FatFinish(v, r);
}

FatResult FatCreateFile(FatVolume* v, std::u16string_view path, uint8_t attributes, uint64_t now) {
  FatPlace place;
  FatResult r = FindNew(v, path, &place);
  if (r != FatResult::Ok) return FatFinish(v, r);
  uint8_t e[kFatDirEntryBytes];
  NewShortEntry(*v, attributes & kFatSettableAttributes, 0, now, e);
  uint32_t slot = 0;
  r = FatDirAdd(v, &place.parent, place.entries, place.name, e, &slot);
  if (r != FatResult::Ok) return FatFinish(v, r);
  return Commit(v, &place.parent);
}

FatResult FatRead(FatVolume* v, std::u16string_view path, uint64_t offset, uint8_t* out, uint32_t length,
                  uint32_t* done) {
  *done = 0;
  FatPlace place;
  FatResult r = FindFile(v, path, &place);
  if (r != FatResult::Ok) return FatFinish(v, r);
  const FatDirEntry& entry = EntryOf(place);
  if (offset >= entry.size || length == 0) return FatFinish(v, FatResult::Ok);
  uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(length, entry.size - offset));
  std::vector<uint32_t> chain;
  r = FileChain(v, entry, &chain);
  if (r == FatResult::Ok) r = FileIo(v, chain, offset, n, IoMode::Read, out, nullptr);
  if (r == FatResult::Ok) *done = n;
  return FatFinish(v, r);
}

FatResult FatWrite(FatVolume* v, std::u16string_view path, uint64_t offset, const uint8_t* data, uint32_t length,
                   uint64_t now) {
  FatPlace place;
  FatResult r = FindFile(v, path, &place);
  if (r != FatResult::Ok || length == 0) return FatFinish(v, r);
  uint64_t end = offset + length;
  if (end > kFatMaxFileBytes) return FatFinish(v, FatResult::TooLarge);
  const FatDirEntry& entry = EntryOf(place);
  uint64_t newSize = std::max<uint64_t>(end, entry.size);
  std::vector<uint32_t> chain;
  r = FileChain(v, entry, &chain);
  if (r == FatResult::Ok) r = Extend(v, &chain, entry.size, newSize, offset);
  if (r == FatResult::Ok) r = FileIo(v, chain, offset, length, IoMode::Write, nullptr, data);
  if (r != FatResult::Ok) return FatFinish(v, r);
  SetShape(*v, &place, chain, static_cast<uint32_t>(newSize), now);
  return Commit(v, &place.parent);
}

FatResult FatSetSize(FatVolume* v, std::u16string_view path, uint32_t size, uint64_t now) {
  FatPlace place;
  FatResult r = FindFile(v, path, &place);
  if (r != FatResult::Ok) return FatFinish(v, r);
  const FatDirEntry& entry = EntryOf(place);
  if (size == entry.size) return FatFinish(v, FatResult::Ok);
  std::vector<uint32_t> chain;
  r = FileChain(v, entry, &chain);
  uint64_t keep = ClustersFor(*v, size);
  if (r == FatResult::Ok && size > entry.size) {
    r = Extend(v, &chain, entry.size, size, size);
  } else if (r == FatResult::Ok && chain.size() > keep) {
    uint32_t cut = chain[keep];
    if (keep > 0) r = FatSetEntry(v, chain[keep - 1], kFatChainEnd);
    if (r == FatResult::Ok) r = FatFreeChain(v, cut);
    chain.resize(keep);
  }
  if (r != FatResult::Ok) return FatFinish(v, r);
  SetShape(*v, &place, chain, size, now);
  return Commit(v, &place.parent);
}

FatResult FatDeleteFile(FatVolume* v, std::u16string_view path) {
  FatPlace place;
  FatResult r = FindFile(v, path, &place);
  if (r == FatResult::Ok && (EntryOf(place).attributes & kFatReadOnly)) r = FatResult::AccessDenied;
  if (r != FatResult::Ok) return FatFinish(v, r);
  return RemoveAndFree(v, &place);
}

FatResult FatMakeDirectory(FatVolume* v, std::u16string_view path, uint64_t now) {
  FatPlace place;
  FatResult r = FindNew(v, path, &place);
  std::vector<uint32_t> added;
  if (r == FatResult::Ok) r = FatAllocate(v, 1, 0, &added);
  if (r != FatResult::Ok) return FatFinish(v, r);
  uint32_t folder = added[0];
  std::vector<uint8_t> cluster(v->clusterBytes, 0);
  NewShortEntry(*v, kFatDirectory, folder, now, cluster.data());
  NewShortEntry(*v, kFatDirectory, place.parent.cluster, now, cluster.data() + kFatDirEntryBytes);
  std::memset(cluster.data(), ' ', 11);
  std::memset(cluster.data() + kFatDirEntryBytes, ' ', 11);
  cluster[0] = '.';
  cluster[kFatDirEntryBytes] = '.';
  cluster[kFatDirEntryBytes + 1] = '.';
  r = FatDeviceWrite(v->device, FatClusterSector(*v, folder), v->sectorsPerCluster, cluster.data());
  uint8_t e[kFatDirEntryBytes];
  NewShortEntry(*v, kFatDirectory, folder, now, e);
  uint32_t slot = 0;
  if (r == FatResult::Ok) r = FatDirAdd(v, &place.parent, place.entries, place.name, e, &slot);
  if (r != FatResult::Ok) return FatFinish(v, r);
  return Commit(v, &place.parent);
}

FatResult FatRemoveDirectory(FatVolume* v, std::u16string_view path) {
  FatPlace place;
  FatResult r = FindChangeable(v, path, &place);
  if (r != FatResult::Ok) return FatFinish(v, r);
  const FatDirEntry& entry = EntryOf(place);
  if (!(entry.attributes & kFatDirectory)) return FatFinish(v, FatResult::NotDirectory);
  if (entry.attributes & kFatReadOnly) return FatFinish(v, FatResult::AccessDenied);
  if (entry.cluster == 0) return FatFinish(v, FatResult::Corrupt);
  FatDir dir;
  r = FatDirLoad(v, entry.cluster, &dir);
  if (r != FatResult::Ok) return FatFinish(v, r);
  std::vector<FatDirEntry> inside;
  FatDirScan(*v, dir, &inside);
  if (std::any_of(inside.begin(), inside.end(), [](const FatDirEntry& e) { return !e.dot; })) {
    return FatFinish(v, FatResult::NotEmpty);
  }
  return RemoveAndFree(v, &place);
}

FatResult FatRename(FatVolume* v, std::u16string_view from, std::u16string_view to) {
  FatPlace source, target;
  FatResult r = FindChangeable(v, from, &source);
  if (r != FatResult::Ok) return FatFinish(v, r);
  r = FatResolve(v, to, &target);
  if (r == FatResult::Ok && target.root) r = FatResult::AccessDenied;
  if (r != FatResult::Ok) return FatFinish(v, r);
  FatDirEntry moving = EntryOf(source);
  bool sameFolder = target.parent.cluster == source.parent.cluster;
  if (target.found >= 0 && !(sameFolder && EntryOf(target).slot == moving.slot)) {
    return FatFinish(v, FatResult::Exists);
  }
  bool folder = (moving.attributes & kFatDirectory) != 0;
  if (folder && std::find(target.trail.begin(), target.trail.end(), moving.cluster) != target.trail.end()) {
    return FatFinish(v, FatResult::AccessDenied);  // into itself or below
  }
  uint8_t e[kFatDirEntryBytes];
  std::memcpy(e, ShortEntryOf(&source), kFatDirEntryBytes);
  uint32_t slot = 0;
  if (sameFolder) {
    // One folder: the old entries go first, so the new name may reuse their slots.
    FatDirRemove(&source.parent, moving);
    FatDirScan(*v, source.parent, &source.entries);
    r = FatDirAdd(v, &source.parent, source.entries, target.name, e, &slot);
    if (r != FatResult::Ok) return FatFinish(v, r);
    return Commit(v, &source.parent);
  }
  // Two folders: for a moment the entry is in both rather than in neither.
  r = FatDirAdd(v, &target.parent, target.entries, target.name, e, &slot);
  if (r != FatResult::Ok) return FatFinish(v, r);
  r = Commit(v, &target.parent);
  if (r != FatResult::Ok) return r;
  FatDirRemove(&source.parent, moving);
  r = FatDirSave(v, &source.parent);
  if (r == FatResult::Ok && folder) r = Reparent(v, moving.cluster, target.parent.cluster);
  return FatFinish(v, r);
}

FatResult FatSetAttributes(FatVolume* v, std::u16string_view path, uint8_t attributes) {
  return ChangeEntry(v, path, ApplyAttributes, &attributes);
}

FatResult FatSetTimes(FatVolume* v, std::u16string_view path, const uint64_t* created, const uint64_t* accessed,
                      const uint64_t* written) {
  Times times{created, accessed, written};
  return ChangeEntry(v, path, ApplyTimes, &times);
}

FatResult FatGetSpace(FatVolume* v, FatSpace* space) {
  uint32_t free = 0;
  FatResult r = FatCountFree(v, &free);
  if (r == FatResult::Ok) {
    space->clusterBytes = v->clusterBytes;
    space->totalBytes = uint64_t{v->clusterCount} * v->clusterBytes;
    space->freeBytes = uint64_t{free} * v->clusterBytes;
  }
  return FatFinish(v, r);
}
