// The file allocation table: entries of 12, 16 or 28 bits, chains, free
// space and the FAT32 FSInfo hints. FAT sectors are read into the volume's
// cache as they are needed and written to every FAT copy when an operation
// ends well.
#include <algorithm>
#include <cstring>

#include "module/fat_internal.h"

namespace {

// Enough for any single operation on the volumes the module holds; a larger
// one writes changed sectors early, which only matters if it then fails.
constexpr size_t kCacheSlots = 64;
constexpr uint32_t kZeroChunkSectors = 64;

constexpr uint32_t kFsInfoLead = 0x41615252;
constexpr uint32_t kFsInfoStruct = 0x61417272;
constexpr uint32_t kFsInfoTrail = 0xAA550000;
constexpr uint32_t kFsInfoOffFree = 488;
constexpr uint32_t kFsInfoOffNext = 492;
constexpr uint32_t kFsInfoUnknown = 0xFFFFFFFF;

bool InDevice(const FatDevice& device, uint32_t first, uint32_t count) {
  return first <= device.sectorCount && count <= device.sectorCount - first;
}

FatResult WriteBack(FatVolume* v, const FatCachedSector& s) {
  for (uint32_t copy = 0; copy < v->fatCount; copy++) {
    if (!v->mirrored && copy != v->activeFat) continue;
    FatResult r = FatDeviceWrite(v->device, v->fatStart + copy * v->fatSectors + s.index, 1, s.bytes.data());
    if (r != FatResult::Ok) return r;
  }
  return FatResult::Ok;
}

// The cached copy of FAT sector `index`, read from the active FAT if needed.
FatResult Cached(FatVolume* v, uint32_t index, FatCachedSector** out) {
  v->cacheClock++;
  // Walks along a chain or the whole table mostly stay in the sector they were in.
  if (v->cacheLast < v->cache.size() && v->cache[v->cacheLast].index == index) {
    v->cache[v->cacheLast].used = v->cacheClock;
    *out = &v->cache[v->cacheLast];
    return FatResult::Ok;
  }
  for (size_t i = 0; i < v->cache.size(); i++) {
    if (v->cache[i].index == index) {
      v->cache[i].used = v->cacheClock;
      v->cacheLast = i;
      *out = &v->cache[i];
      return FatResult::Ok;
    }
  }
  FatCachedSector* slot = nullptr;
  v->cache.reserve(kCacheSlots);  // slots never move while an operation holds one
  if (v->cache.size() < kCacheSlots) {
    v->cache.emplace_back();
    slot = &v->cache.back();
    slot->bytes.resize(v->sectorBytes);
  } else {
    slot = &*std::min_element(v->cache.begin(), v->cache.end(),
                              [](const FatCachedSector& a, const FatCachedSector& b) { return a.used < b.used; });
    if (slot->dirty) {
      FatResult r = WriteBack(v, *slot);
      if (r != FatResult::Ok) return r;
    }
  }
  slot->index = index;
  slot->dirty = false;
  slot->used = v->cacheClock;
  v->cacheLast = static_cast<size_t>(slot - v->cache.data());
  FatResult r = FatDeviceRead(v->device, v->fatStart + v->activeFat * v->fatSectors + index, 1, slot->bytes.data());
  if (r != FatResult::Ok) {
    slot->index = UINT32_MAX;  // holds nothing valid now
    return r;
  }
  *out = slot;
  return FatResult::Ok;
}

// Bytes of the table, looked up once per sector: a FAT12 entry may straddle
// two sectors, and the second lookup may reuse the slot of the first, so no
// pointer into the cache outlives its sector.
template <typename Visit>
FatResult VisitBytes(FatVolume* v, uint32_t offset, uint32_t count, Visit visit) {
  FatCachedSector* s = nullptr;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t at = offset + i;
    if (s == nullptr || s->index != at / v->sectorBytes) {
      FatResult r = Cached(v, at / v->sectorBytes, &s);
      if (r != FatResult::Ok) return r;
    }
    visit(s, at % v->sectorBytes, i);
  }
  return FatResult::Ok;
}

FatResult LoadBytes(FatVolume* v, uint32_t offset, uint32_t count, uint8_t* out) {
  return VisitBytes(v, offset, count, [out](FatCachedSector* s, uint32_t at, uint32_t i) { out[i] = s->bytes[at]; });
}

FatResult StoreBytes(FatVolume* v, uint32_t offset, uint32_t count, const uint8_t* in) {
  return VisitBytes(v, offset, count, [in](FatCachedSector* s, uint32_t at, uint32_t i) {
    s->bytes[at] = in[i];
    s->dirty = true;
  });
}

uint32_t EntryOffset(const FatVolume& v, uint32_t cluster) {
  switch (v.type) {
    case FatType::Fat12:
      return cluster + cluster / 2;
    case FatType::Fat16:
      return cluster * 2;
    default:
      return cluster * 4;
  }
}

uint32_t EntryBytes(const FatVolume& v) { return v.type == FatType::Fat32 ? 4 : 2; }

// The width's own end-of-chain mark: the smallest value that ends a chain.
uint32_t EndMark(const FatVolume& v) {
  switch (v.type) {
    case FatType::Fat12:
      return 0xFF8;
    case FatType::Fat16:
      return 0xFFF8;
    default:
      return 0x0FFFFFF8;
  }
}

void AdjustFree(FatVolume* v, int64_t delta) {
  if (v->freeCount == kFsInfoUnknown) return;
  int64_t count = int64_t{v->freeCount} + delta;
  v->freeCount = count < 0 || count > v->clusterCount ? kFsInfoUnknown : static_cast<uint32_t>(count);
  v->fsInfoDirty = true;
}

}  // namespace

FatResult FatDeviceRead(const FatDevice& device, uint32_t first, uint32_t count, uint8_t* out) {
  if (!InDevice(device, first, count)) return FatResult::IoError;
  return device.read(device.ctx, first, count, out) ? FatResult::Ok : FatResult::IoError;
}

FatResult FatDeviceWrite(const FatDevice& device, uint32_t first, uint32_t count, const uint8_t* data) {
  if (!InDevice(device, first, count)) return FatResult::IoError;
  return device.write(device.ctx, first, count, data) ? FatResult::Ok : FatResult::IoError;
}

FatResult FatDeviceZero(const FatDevice& device, uint32_t first, uint32_t count) {
  std::vector<uint8_t> zeros(size_t{std::min(count, kZeroChunkSectors)} * device.sectorBytes, 0);
  while (count > 0) {
    uint32_t n = std::min(count, kZeroChunkSectors);
    FatResult r = FatDeviceWrite(device, first, n, zeros.data());
    if (r != FatResult::Ok) return r;
    first += n;
    count -= n;
  }
  return FatResult::Ok;
}

FatResult FatGetEntry(FatVolume* v, uint32_t cluster, uint32_t* value) {
  uint8_t b[4] = {};
  FatResult r = LoadBytes(v, EntryOffset(*v, cluster), EntryBytes(*v), b);
  if (r != FatResult::Ok) return r;
  uint32_t raw = LoadLe32(b);
  if (v->type == FatType::Fat12) raw = (cluster & 1) ? (raw >> 4) & 0xFFF : raw & 0xFFF;
  if (v->type == FatType::Fat32) raw &= 0x0FFFFFFF;
  uint32_t end = EndMark(*v);
  if (raw >= end) {
    raw = kFatChainEnd;
  } else if (raw == end - 1) {
    raw = kFatBadCluster;
  }
  *value = raw;
  return FatResult::Ok;
}

FatResult FatSetEntry(FatVolume* v, uint32_t cluster, uint32_t value) {
  uint32_t offset = EntryOffset(*v, cluster);
  uint32_t width = EntryBytes(*v);
  if (value == kFatChainEnd) value = v->type == FatType::Fat32 ? 0x0FFFFFFF : EndMark(*v) | 7;
  uint8_t b[4] = {};
  if (v->type == FatType::Fat16) {
    StoreLe16(b, static_cast<uint16_t>(value));
    return StoreBytes(v, offset, width, b);
  }
  // The neighbouring half-byte (FAT12) and the top four bits (FAT32) are not ours.
  FatResult r = LoadBytes(v, offset, width, b);
  if (r != FatResult::Ok) return r;
  if (v->type == FatType::Fat12) {
    uint16_t old = LoadLe16(b);
    uint16_t v12 = static_cast<uint16_t>(value & 0xFFF);
    StoreLe16(b, (cluster & 1) ? static_cast<uint16_t>((old & 0x000F) | v12 << 4)
                               : static_cast<uint16_t>((old & 0xF000) | v12));
  } else {
    StoreLe32(b, (LoadLe32(b) & 0xF0000000) | (value & 0x0FFFFFFF));
  }
  return StoreBytes(v, offset, width, b);
}

FatResult FatChain(FatVolume* v, uint32_t first, uint32_t limit, std::vector<uint32_t>* chain) {
  chain->clear();
  uint32_t cluster = first;
  while (cluster != 0) {
    if (!FatIsDataCluster(*v, cluster) || chain->size() >= limit || chain->size() >= v->clusterCount) {
      return FatResult::Corrupt;
    }
    chain->push_back(cluster);
    uint32_t next = 0;
    FatResult r = FatGetEntry(v, cluster, &next);
    if (r != FatResult::Ok) return r;
    if (next == kFatChainEnd) break;
    if (next == kFatFreeCluster) return FatResult::Corrupt;
    cluster = next;
  }
  return FatResult::Ok;
}

FatResult FatAllocate(FatVolume* v, uint32_t count, uint32_t after, std::vector<uint32_t>* added) {
  added->clear();
  if (count == 0) return FatResult::Ok;
  uint32_t start = after != 0 ? after + 1 : v->nextFree;
  if (!FatIsDataCluster(*v, start)) start = 2;
  for (uint32_t i = 0; i < v->clusterCount && added->size() < count; i++) {
    uint32_t cluster = 2 + (start - 2 + i) % v->clusterCount;
    uint32_t value = 0;
    FatResult r = FatGetEntry(v, cluster, &value);
    if (r != FatResult::Ok) return r;
    if (value == kFatFreeCluster) added->push_back(cluster);
  }
  if (added->size() < count) {
    added->clear();
    return FatResult::DiskFull;
  }
  for (size_t i = 0; i < added->size(); i++) {
    FatResult r = FatSetEntry(v, (*added)[i], i + 1 < added->size() ? (*added)[i + 1] : kFatChainEnd);
    if (r != FatResult::Ok) return r;
  }
  if (after != 0) {
    FatResult r = FatSetEntry(v, after, added->front());
    if (r != FatResult::Ok) return r;
  }
  AdjustFree(v, -int64_t{count});
  v->nextFree = added->back() + 1;
  v->fsInfoDirty = true;
  return FatResult::Ok;
}

FatResult FatFreeChain(FatVolume* v, uint32_t first) {
  uint32_t cluster = first;
  int64_t freed = 0;
  while (FatIsDataCluster(*v, cluster) && freed < v->clusterCount) {
    uint32_t next = 0;
    FatResult r = FatGetEntry(v, cluster, &next);
    if (r != FatResult::Ok) return r;
    if (next == kFatFreeCluster) break;
    r = FatSetEntry(v, cluster, kFatFreeCluster);
    if (r != FatResult::Ok) return r;
    freed++;
    cluster = next;
  }
  AdjustFree(v, freed);
  return FatResult::Ok;
}

FatResult FatCountFree(FatVolume* v, uint32_t* free) {
  *free = 0;
  for (uint32_t i = 0; i < v->clusterCount; i++) {
    uint32_t value = 0;
    FatResult r = FatGetEntry(v, 2 + i, &value);
    if (r != FatResult::Ok) return r;
    if (value == kFatFreeCluster) ++*free;
  }
  return FatResult::Ok;
}

// Reads the FSInfo hints; a sector without its signatures is not used at all.
FatResult FatLoadFsInfo(FatVolume* v) {
  v->freeCount = kFsInfoUnknown;
  v->nextFree = kFsInfoUnknown;
  v->fsInfoDirty = false;
  if (v->fsInfoSector == 0) return FatResult::Ok;
  std::vector<uint8_t> sector(v->sectorBytes);
  FatResult r = FatDeviceRead(v->device, v->fsInfoSector, 1, sector.data());
  if (r != FatResult::Ok) return r;
  if (LoadLe32(&sector[0]) != kFsInfoLead || LoadLe32(&sector[484]) != kFsInfoStruct ||
      LoadLe32(&sector[508]) != kFsInfoTrail) {
    v->fsInfoSector = 0;
    return FatResult::Ok;
  }
  uint32_t free = LoadLe32(&sector[kFsInfoOffFree]);
  uint32_t next = LoadLe32(&sector[kFsInfoOffNext]);
  v->freeCount = free <= v->clusterCount ? free : kFsInfoUnknown;
  v->nextFree = FatIsDataCluster(*v, next) ? next : kFsInfoUnknown;
  return FatResult::Ok;
}

void FatEncodeFsInfo(uint8_t* sector, uint32_t freeCount, uint32_t nextFree) {
  StoreLe32(&sector[0], kFsInfoLead);
  StoreLe32(&sector[484], kFsInfoStruct);
  StoreLe32(&sector[kFsInfoOffFree], freeCount);
  StoreLe32(&sector[kFsInfoOffNext], nextFree);
  StoreLe32(&sector[508], kFsInfoTrail);
}

FatResult FatFinish(FatVolume* v, FatResult result) {
  if (result != FatResult::Ok) {
    v->cache.clear();
    FatLoadFsInfo(v);  // the hints as they are on disk; the failure that brought us here is what counts
    return result;
  }
  for (FatCachedSector& s : v->cache) {
    if (!s.dirty) continue;
    FatResult r = WriteBack(v, s);
    if (r != FatResult::Ok) return FatFinish(v, r);
    s.dirty = false;
  }
  v->cache.clear();
  if (!v->fsInfoDirty || v->fsInfoSector == 0) return FatResult::Ok;
  std::vector<uint8_t> sector(v->sectorBytes);
  FatResult r = FatDeviceRead(v->device, v->fsInfoSector, 1, sector.data());
  if (r != FatResult::Ok) return r;
  uint32_t next = FatIsDataCluster(*v, v->nextFree) ? v->nextFree : kFsInfoUnknown;
  FatEncodeFsInfo(sector.data(), v->freeCount, next);
  r = FatDeviceWrite(v->device, v->fsInfoSector, 1, sector.data());
  if (r == FatResult::Ok) v->fsInfoDirty = false;
  return r;
}
