#include <gtest/gtest.h>

#include "flash/nand.h"
#include "flash/nand_bbm.h"
#include "tests/nand/nand_fixture.h"

namespace {

using NandBbm = NandTest;
using List = std::vector<std::pair<uint16_t, uint16_t>>;

uint32_t Move(uint32_t block) {
  uint32_t replacement = 0;
  EXPECT_EQ(BbmReplaceBlock(block * 64, &replacement, BBM_MOVE), 1u) << "FlashError " << FlashError;
  return replacement;
}

TEST_F(NandBbm, MapBuiltFromTheListAndPicksBelowTheUsedBlocks) {
  NandBoard board;
  board.list = {{5, 2047}, {9, 2046}};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  EXPECT_EQ(FlashSize, 2008u * kNandBlock);
  EXPECT_EQ(MapMagic(), BBM_MAGIC);
  EXPECT_EQ(MapEntry(5), 2047);
  EXPECT_EQ(MapEntry(9), 2046);
  EXPECT_EQ(MapEntry(4), 4);
  EXPECT_EQ(MapEntry(2047), 2047);

  EXPECT_EQ(Move(5), 2045u);
  EXPECT_EQ(Move(7), 2044u) << "a cancelled entry's block stays used";
  EXPECT_EQ(ListInCells(), (List{{0, 2047}, {9, 2046}, {5, 2045}, {7, 2044}}));
  EXPECT_EQ(MapEntry(5), 2045);
  EXPECT_EQ(MapEntry(7), 2044);
}

TEST_F(NandBbm, ListPageWithoutHeaderLeavesNoMap) {
  NandBoard board;
  board.listHeader = false;
  ASSERT_NO_FATAL_FAILURE(Attach(board));
  EXPECT_EQ(FlashInit(), 0u);
  EXPECT_EQ(FlashError, FLASH_ERR_NO_BBT);
  EXPECT_NE(MapMagic(), BBM_MAGIC) << "the next process tries again";
}

// Entries naming blocks the chip does not have (or block 0, which holds the
// list) come from a torn or foreign page: they are neither mapped nor count
// as used.
TEST_F(NandBbm, ForeignEntriesAreIgnored) {
  NandBoard board;
  board.list = {{5, 3000}, {9000, 2047}, {6, 0}, {9, 2046}};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  EXPECT_EQ(MapEntry(5), 5);
  EXPECT_EQ(MapEntry(6), 6);
  EXPECT_EQ(MapEntry(9), 2046);
  EXPECT_EQ(Move(7), 2047u);
}

TEST_F(NandBbm, ListPageWithoutTerminatorTakesNoMoreEntries) {
  NandBoard board;
  board.list = {{5, 2047}};
  board.listTerminated = false;
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  EXPECT_EQ(MapEntry(5), 2047);
  std::vector<uint8_t> list = Cells(63);
  uint32_t replacement = 0;
  EXPECT_EQ(BbmReplaceBlock(7 * 64, &replacement, BBM_MOVE), 0u);
  EXPECT_EQ(FlashError, FLASH_ERR_RESERVE_EXHAUSTED);
  EXPECT_EQ(Cells(63), list);
}

}  // namespace
