#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "flash/nand.h"
#include "flash/nand_bbm.h"
#include "module/module_dir.h"
#include "module/nand_block_map.h"
#include "module/nand_model.h"
#include "platform/hardware_link.h"
#include "platform/platform.h"
#include "tests/nand/nand_fixture.h"
#include "tests/support/temp_module.h"

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

// The power goes right after block 0's erase, before its list is written
// back: the erase's fourth command (the list read, the copy's erase and
// program, block 0's erase) is the last to act. The next start takes the
// list from its copy in the lowest free reserve block and puts it back.
TEST_F(NandBbm, AListLostToACutComesBackFromItsCopy) {
  NandBoard board;
  board.list = {{5, 2047}};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  uint64_t started = NandModelCounters(PlatformHardware()->nand).commandsStarted;
  std::vector<uint8_t> list = Cells(63), erased(kNandPage, 0xFF);
  constexpr uint32_t kCopyPage = 2008 * 64;  // the reserve's lowest block
  // What the power going takes along, so that each start sets everything up again.
  auto powerOff = [&] {
    std::string error;
    ASSERT_TRUE(NandBlockMapDropShared(ModuleShmPath(dir_), &error)) << error;
    NandModelPowerOff(ModuleShmPath(dir_));
  };
  ForgetDriver();
  PlatformDetachModule();
  powerOff();
  ASSERT_TRUE(ConfigureModule(dir_, {"faults.power_cut_after=" + std::to_string(started + 4)}));
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string error;
    if (PlatformAttachModule(dir_, false, &error) && FlashInit() == FLASH_TYPE_NAND) FlashOps.Erase(0, kNandBlock);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kNandPowerCutExitCode) << status;
  EXPECT_EQ(Cells(63), erased);
  EXPECT_EQ(Cells(kCopyPage), list);

  ASSERT_TRUE(ConfigureModule(dir_, {"faults.power_cut_after=0"}));
  powerOff();
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NAND) << "FlashError " << FlashError;
  EXPECT_EQ(Cells(63), list);
  EXPECT_EQ(MapEntry(5), 2047);
  EXPECT_EQ(Cells(kCopyPage), erased) << "the copy stays only while it is needed";
}

}  // namespace
