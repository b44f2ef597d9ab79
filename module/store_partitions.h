// The store's partition table, kept in the store's first sector the way the
// module's partition driver keeps it: a master boot record with four entries
// (type, first sector, sector count), plus, in the boot code area the module
// never runs, the store's and the partitions' times and the partitions'
// attributes.
#pragma once

#include <cstdint>

constexpr uint32_t kStoreMaxPartitions = 4;
constexpr uint32_t kStoreTableSector = 0;
constexpr uint32_t kStoreFirstDataSector = 1;  // partitions start after the table
constexpr uint32_t kStoreTableMinSectorBytes = 512;

struct StorePartition {
  bool used = false;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
  uint64_t created = 0;  // file times
  uint64_t modified = 0;
  uint32_t attributes = 0;
};

struct PartitionTable {
  bool present = false;  // the store is formatted: its first sector holds a table
  uint64_t created = 0;
  uint64_t modified = 0;
  StorePartition slots[kStoreMaxPartitions];
};

// Reads the table from the first sector of a store of `sectorCount` sectors.
// Entries that lie outside the store or overlap an earlier entry are
// dropped, so a damaged table never hands out sectors twice.
void PartitionTableDecode(const uint8_t* sector, uint32_t sectorBytes, uint32_t sectorCount, PartitionTable* table);
// Writes the first sector; the rest of it is zero.
void PartitionTableEncode(const PartitionTable& table, uint8_t* sector, uint32_t sectorBytes);

// Sectors not given to any partition (the table's own sector excluded).
uint64_t PartitionTableFreeSectors(const PartitionTable& table, uint32_t sectorCount);

// The largest run of sectors a new partition could take; 0 when all entries
// are used. `start` (may be null) receives where it begins.
uint32_t PartitionTableBiggestGap(const PartitionTable& table, uint32_t sectorCount, uint32_t* start);

// Where a partition of `count` sectors goes: the first gap that holds it and
// the first unused entry. False when there is none.
bool PartitionTablePlace(const PartitionTable& table, uint32_t sectorCount, uint32_t count, uint32_t* slot,
                         uint32_t* start);

uint32_t PartitionTableCount(const PartitionTable& table);
