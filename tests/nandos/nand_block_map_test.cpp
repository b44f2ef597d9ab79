// The list page and the block map the module shares with the update program
// and the bootloader: replacements, cancelled entries, the map built from a
// list, and where each logical page lies.
#include <gtest/gtest.h>

#include <string>

#include "module/nand_block_map.h"

namespace {

constexpr uint32_t kBlocks = 2048;  // reserve 40: blocks 2008-2047
const NandChipType* Chip() { return NandChipTypeOf(0xDAEC); }

struct ListPage {
  uint8_t bytes[kNandPageBytes];
  ListPage() { NandListFormat(bytes); }
};

void ExpectEntry(const ListPage& list, uint32_t index, uint16_t logical, uint16_t replacement) {
  NandListEntry e = NandListEntryAt(list.bytes, index);
  EXPECT_EQ(e.logical, logical) << "entry " << index;
  EXPECT_EQ(e.replacement, replacement) << "entry " << index;
}

struct Map {
  NandBlockMap map;
  Map() {
    std::string error;
    EXPECT_TRUE(NandBlockMapOpenPrivate(&map, &error)) << error;
  }
  ~Map() { NandBlockMapClose(&map); }
};

}  // namespace

TEST(NandList, MovesTakeTheHighestFreeBlockAndCancelTheOlderEntry) {
  ListPage list;
  EXPECT_EQ(list.bytes[0], 0x4E);
  EXPECT_EQ(list.bytes[1], 0x52);
  NandListPut(list.bytes, 0, {5, 2047});
  NandListPut(list.bytes, 1, {9, 2046});
  uint16_t replacement = 0;
  ASSERT_TRUE(NandListMove(list.bytes, kBlocks, 5, &replacement));
  EXPECT_EQ(replacement, 2045);
  ExpectEntry(list, 0, 0, 2047);  // cancelled, and 2047 stays used
  ExpectEntry(list, 2, 5, 2045);
  EXPECT_EQ(NandListCount(list.bytes), 3u);

  // The reserve runs out at its lowest block; a failed move changes nothing.
  for (uint16_t block = 100; replacement > 2008; block++) {
    ASSERT_TRUE(NandListMove(list.bytes, kBlocks, block, &replacement));
  }
  ListPage before = list;
  EXPECT_FALSE(NandListMove(list.bytes, kBlocks, 7, &replacement));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(before.bytes), kNandPageBytes),
            std::string(reinterpret_cast<char*>(list.bytes), kNandPageBytes));
}

TEST(NandBlockMap, BuildsFromTheListIgnoringCancelledAndForeignEntries) {
  Map m;
  ListPage list;
  NandListPut(list.bytes, 0, {5, 2047});
  NandListPut(list.bytes, 1, {0, 2046});     // cancelled
  NandListPut(list.bytes, 2, {3000, 2045});  // a block this chip does not have
  NandListPut(list.bytes, 3, {7, 9000});
  NandListPut(list.bytes, 4, {8, 0});        // onto the block that holds the list
  NandListPut(list.bytes, 5, {5, 2044});     // later entries win
  ASSERT_TRUE(NandBlockMapBuild(&m.map, list.bytes, kBlocks));
  EXPECT_TRUE(NandBlockMapBuilt(m.map));
  EXPECT_EQ(NandBlockMapGet(m.map, 5), 2044u);
  EXPECT_EQ(NandBlockMapGet(m.map, 0), 0u);
  EXPECT_EQ(NandBlockMapGet(m.map, 7), 7u);
  EXPECT_EQ(NandBlockMapGet(m.map, 8), 8u);
  EXPECT_EQ(NandBlockMapGet(m.map, 2047), 2047u);
}

TEST(NandBlockMap, AListWithoutHeaderOrTerminatorIsHandledSafely) {
  Map m;
  ListPage list;
  list.bytes[0] = 0xFF;
  EXPECT_FALSE(NandBlockMapBuild(&m.map, list.bytes, kBlocks));
  EXPECT_FALSE(NandBlockMapBuilt(m.map));

  // Every slot taken: the count stops at the page's end.
  NandListFormat(list.bytes);
  for (uint32_t i = 0; i < kNandListMaxEntries; i++) NandListPut(list.bytes, i, {static_cast<uint16_t>(i + 1), 3});
  EXPECT_EQ(NandListCount(list.bytes), kNandListMaxEntries);
  uint16_t replacement = 0;
  EXPECT_FALSE(NandListMove(list.bytes, kBlocks, 900, &replacement));
  ASSERT_TRUE(NandBlockMapBuild(&m.map, list.bytes, kBlocks));
  EXPECT_EQ(NandBlockMapGet(m.map, kNandListMaxEntries), 3u);
}

struct PagePlace {
  uint32_t logical;
  bool placed;
  uint32_t physical;
};

class NandPageRule : public testing::TestWithParam<PagePlace> {};

// Blocks 1 and 2 moved to 2047 and 2046: the list page pushes logical pages
// 63-126 one page up, so logical page 63 is the first page of block 1 and
// moves with it (left behind, no erase would reach it again).
TEST_P(NandPageRule, LogicalPagesLieWhereEveryDriverLooks) {
  Map m;
  ListPage list;
  NandListPut(list.bytes, 0, {1, 2047});
  NandListPut(list.bytes, 1, {2, 2046});
  ASSERT_TRUE(NandBlockMapBuild(&m.map, list.bytes, kBlocks));
  uint32_t physical = 0;
  EXPECT_EQ(NandPhysicalPage(m.map, Chip(), GetParam().logical, &physical), GetParam().placed);
  if (GetParam().placed) {
    EXPECT_EQ(physical, GetParam().physical);
  }
}

INSTANTIATE_TEST_SUITE_P(BootBlocks, NandPageRule,
                         testing::Values(PagePlace{62, true, 62}, PagePlace{63, true, 2047 * 64},
                                         PagePlace{64, true, 2047 * 64 + 1}, PagePlace{126, true, 2047 * 64 + 63},
                                         PagePlace{127, false, 0}, PagePlace{128, true, 2046 * 64},
                                         PagePlace{200, true, 200}, PagePlace{2048 * 64, false, 0}));
