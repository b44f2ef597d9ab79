#include "module/store_partitions.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "module/store_bytes.h"

namespace {

// Master boot record.
constexpr uint32_t kMbrTable = 446;
constexpr uint32_t kMbrEntryBytes = 16;
constexpr uint32_t kMbrSignature = 510;
constexpr uint16_t kMbrSignatureValue = 0xAA55;
constexpr uint32_t kEntryStatus = 0;
constexpr uint32_t kEntryFirstChs = 1;
constexpr uint32_t kEntryType = 4;
constexpr uint32_t kEntryLastChs = 5;
constexpr uint32_t kEntryStart = 8;
constexpr uint32_t kEntryCount = 12;
constexpr uint8_t kTypeUnused = 0;
constexpr uint8_t kStatusInactive = 0;
// Flash has no cylinders; the address fields say "beyond what CHS can reach"
// and readers go by the sector numbers.
constexpr uint8_t kChsBeyond[3] = {0xFE, 0xFF, 0xFF};

// The store record in the boot code area (which nothing on the module runs).
constexpr uint32_t kRecordMagicValue = 0x524F5453;  // "STOR"
constexpr uint32_t kRecordMagic = 0;
constexpr uint32_t kRecordCreated = 4;
constexpr uint32_t kRecordModified = 12;
constexpr uint32_t kRecordPartitions = 20;
constexpr uint32_t kRecordPartitionBytes = 20;  // created, modified, attributes
constexpr uint32_t kPartCreated = 0;
constexpr uint32_t kPartModified = 8;
constexpr uint32_t kPartAttributes = 16;
static_assert(kRecordPartitions + kStoreMaxPartitions * kRecordPartitionBytes <= kMbrTable);

struct Range {
  uint32_t start;
  uint32_t end;
};

std::vector<Range> UsedRanges(const PartitionTable& table) {
  std::vector<Range> used;
  for (const StorePartition& p : table.slots) {
    if (p.used) used.push_back({p.start, p.start + p.count});
  }
  std::sort(used.begin(), used.end(), [](const Range& a, const Range& b) { return a.start < b.start; });
  return used;
}

// Calls `fn(start, length)` for each run of sectors no partition holds.
template <typename Fn>
void ForEachGap(const PartitionTable& table, uint32_t sectorCount, Fn fn) {
  uint32_t at = kStoreFirstDataSector;
  for (const Range& r : UsedRanges(table)) {
    if (r.start > at) fn(at, r.start - at);
    at = std::max(at, r.end);
  }
  if (sectorCount > at) fn(at, sectorCount - at);
}

bool FreeSlot(const PartitionTable& table, uint32_t* slot) {
  for (uint32_t i = 0; i < kStoreMaxPartitions; i++) {
    if (!table.slots[i].used) {
      *slot = i;
      return true;
    }
  }
  return false;
}

}  // namespace

void PartitionTableDecode(const uint8_t* sector, uint32_t sectorBytes, uint32_t sectorCount, PartitionTable* table) {
  *table = PartitionTable{};
  if (sectorBytes < kStoreTableMinSectorBytes || LoadLe16(sector + kMbrSignature) != kMbrSignatureValue) return;
  table->present = true;
  bool record = LoadLe32(sector + kRecordMagic) == kRecordMagicValue;
  if (record) {
    table->created = LoadLe64(sector + kRecordCreated);
    table->modified = LoadLe64(sector + kRecordModified);
  }
  for (uint32_t i = 0; i < kStoreMaxPartitions; i++) {
    const uint8_t* e = sector + kMbrTable + i * kMbrEntryBytes;
    StorePartition p;
    p.type = e[kEntryType];
    p.start = LoadLe32(e + kEntryStart);
    p.count = LoadLe32(e + kEntryCount);
    uint64_t end = uint64_t{p.start} + p.count;
    if (p.type == kTypeUnused || p.count == 0 || p.start < kStoreFirstDataSector || end > sectorCount) continue;
    bool overlaps = false;
    for (uint32_t j = 0; j < i; j++) {
      const StorePartition& q = table->slots[j];
      overlaps = overlaps || (q.used && p.start < q.start + q.count && q.start < end);
    }
    if (overlaps) continue;
    p.used = true;
    if (record) {
      const uint8_t* r = sector + kRecordPartitions + i * kRecordPartitionBytes;
      p.created = LoadLe64(r + kPartCreated);
      p.modified = LoadLe64(r + kPartModified);
      p.attributes = LoadLe32(r + kPartAttributes);
    }
    table->slots[i] = p;
  }
}

void PartitionTableEncode(const PartitionTable& table, uint8_t* sector, uint32_t sectorBytes) {
  std::memset(sector, 0, sectorBytes);
  StoreLe32(sector + kRecordMagic, kRecordMagicValue);
  StoreLe64(sector + kRecordCreated, table.created);
  StoreLe64(sector + kRecordModified, table.modified);
  for (uint32_t i = 0; i < kStoreMaxPartitions; i++) {
    const StorePartition& p = table.slots[i];
    if (!p.used) continue;
    uint8_t* e = sector + kMbrTable + i * kMbrEntryBytes;
    e[kEntryStatus] = kStatusInactive;
    std::memcpy(e + kEntryFirstChs, kChsBeyond, sizeof kChsBeyond);
    e[kEntryType] = p.type;
    std::memcpy(e + kEntryLastChs, kChsBeyond, sizeof kChsBeyond);
    StoreLe32(e + kEntryStart, p.start);
    StoreLe32(e + kEntryCount, p.count);
    uint8_t* r = sector + kRecordPartitions + i * kRecordPartitionBytes;
    StoreLe64(r + kPartCreated, p.created);
    StoreLe64(r + kPartModified, p.modified);
    StoreLe32(r + kPartAttributes, p.attributes);
  }
  StoreLe16(sector + kMbrSignature, kMbrSignatureValue);
}

uint64_t PartitionTableFreeSectors(const PartitionTable& table, uint32_t sectorCount) {
  uint64_t free = 0;
  ForEachGap(table, sectorCount, [&](uint32_t, uint32_t length) { free += length; });
  return free;
}

uint32_t PartitionTableBiggestGap(const PartitionTable& table, uint32_t sectorCount, uint32_t* start) {
  uint32_t slot = 0;
  uint32_t best = 0;
  uint32_t bestStart = kStoreFirstDataSector;
  if (FreeSlot(table, &slot)) {
    ForEachGap(table, sectorCount, [&](uint32_t at, uint32_t length) {
      if (length > best) {
        best = length;
        bestStart = at;
      }
    });
  }
  if (start != nullptr) *start = bestStart;
  return best;
}

bool PartitionTablePlace(const PartitionTable& table, uint32_t sectorCount, uint32_t count, uint32_t* slot,
                         uint32_t* start) {
  if (count == 0 || !FreeSlot(table, slot)) return false;
  bool found = false;
  ForEachGap(table, sectorCount, [&](uint32_t at, uint32_t length) {
    if (!found && length >= count) {
      *start = at;
      found = true;
    }
  });
  return found;
}

uint32_t PartitionTableCount(const PartitionTable& table) {
  uint32_t count = 0;
  for (const StorePartition& p : table.slots) count += p.used ? 1 : 0;
  return count;
}
