// The store's partition table: what survives a round trip through the
// first sector, and what a damaged table is allowed to claim.
#include <gtest/gtest.h>

#include <vector>

#include "module/store_bytes.h"
#include "module/store_partitions.h"

namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kSectors = 1000;
constexpr uint32_t kEntries = 446;  // where a master boot record keeps its four entries
constexpr uint32_t kEntryBytes = 16;
constexpr uint32_t kEntryStart = 8;

PartitionTable TwoPartitions() {
  PartitionTable table;
  table.present = true;
  table.created = 0x01C99DA5E3E9B600;
  table.modified = table.created + 1;
  table.slots[0] = StorePartition{true, 0x0B, 1, 400, 11, 12, 0x18};
  table.slots[2] = StorePartition{true, 0x04, 600, 100, 21, 22, 0x2};
  return table;
}

TEST(StorePartitionsTest, TheTableRoundTripsThroughTheFirstSector) {
  std::vector<uint8_t> sector(kSectorBytes);
  PartitionTableEncode(TwoPartitions(), sector.data(), kSectorBytes);
  EXPECT_EQ(sector[510], 0x55);
  EXPECT_EQ(sector[511], 0xAA);
  PartitionTable back;
  PartitionTableDecode(sector.data(), kSectorBytes, kSectors, &back);
  ASSERT_TRUE(back.present);
  EXPECT_EQ(back.created, TwoPartitions().created);
  EXPECT_EQ(PartitionTableCount(back), 2u);
  const StorePartition& p = back.slots[2];
  EXPECT_TRUE(p.used);
  EXPECT_EQ(p.type, 0x04);
  EXPECT_EQ(p.start, 600u);
  EXPECT_EQ(p.count, 100u);
  EXPECT_EQ(p.modified, 22u);
  EXPECT_EQ(p.attributes, 0x2u);
  EXPECT_FALSE(back.slots[1].used);

  // Gaps: 401..599 (199 sectors) and 700..999 (300); first fit, largest gap.
  EXPECT_EQ(PartitionTableFreeSectors(back, kSectors), 499u);
  uint32_t start = 0;
  EXPECT_EQ(PartitionTableBiggestGap(back, kSectors, &start), 300u);
  EXPECT_EQ(start, 700u);
  uint32_t slot = 0;
  ASSERT_TRUE(PartitionTablePlace(back, kSectors, 150, &slot, &start));
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(start, 401u);
  ASSERT_TRUE(PartitionTablePlace(back, kSectors, 250, &slot, &start));
  EXPECT_EQ(start, 700u);
  EXPECT_FALSE(PartitionTablePlace(back, kSectors, 301, &slot, &start));
}

TEST(StorePartitionsTest, ADamagedTableNeverHandsOutSectorsTwice) {
  std::vector<uint8_t> sector(kSectorBytes);
  PartitionTableEncode(TwoPartitions(), sector.data(), kSectorBytes);
  // Entry 2 moved over entry 0, entry 3 beyond the store, entry 1 at the table's own sector.
  StoreLe32(sector.data() + kEntries + 2 * kEntryBytes + kEntryStart, 300);
  std::vector<uint8_t> beyond(sector.begin() + kEntries, sector.begin() + kEntries + kEntryBytes);
  StoreLe32(beyond.data() + kEntryStart, kSectors - 10);
  std::copy(beyond.begin(), beyond.end(), sector.begin() + kEntries + 3 * kEntryBytes);
  std::copy(beyond.begin(), beyond.end(), sector.begin() + kEntries + kEntryBytes);
  StoreLe32(sector.data() + kEntries + kEntryBytes + kEntryStart, 0);
  PartitionTable back;
  PartitionTableDecode(sector.data(), kSectorBytes, kSectors, &back);
  EXPECT_TRUE(back.slots[0].used);
  EXPECT_FALSE(back.slots[1].used);
  EXPECT_FALSE(back.slots[2].used);
  EXPECT_FALSE(back.slots[3].used);

  // Without the signature the store holds no table at all.
  sector[510] = 0;
  PartitionTableDecode(sector.data(), kSectorBytes, kSectors, &back);
  EXPECT_FALSE(back.present);
  EXPECT_EQ(PartitionTableCount(back), 0u);
  EXPECT_EQ(PartitionTableFreeSectors(back, kSectors), kSectors - 1);
}

}  // namespace
