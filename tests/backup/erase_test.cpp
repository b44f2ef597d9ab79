// Erasing regions: exactly their bytes, the progress steps, and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fwlib/erase.h"
#include "fwlib/results.h"
#include "tests/backup/backup_fixture.h"
#include "tests/support/boards.h"
#include "tests/support/flash_lock_probe.h"

namespace {

bool ErasedOnly(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                const std::vector<FlashRegion>& regions) {
  std::vector<uint8_t> expected = before;
  for (const FlashRegion& r : regions) {
    std::fill(expected.begin() + r.base, expected.begin() + r.base + r.length, 0xFF);
  }
  return expected == after;
}

// The layer asks before a block once the next multiple of the step is
// reached, so the i-th call comes at the first block boundary at or past
// i * step; the last call reports the whole region erased.
void ExpectProgressSteps(std::vector<std::pair<uint32_t, uint32_t>> calls, uint32_t length, uint32_t step,
                         uint32_t block) {
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls.back(), std::make_pair(length, length)) << "the end is reached";
  calls.pop_back();
  for (size_t i = 0; i < calls.size(); i++) {
    uint64_t due = uint64_t{step} * i;
    EXPECT_EQ(calls[i].second, length) << i;
    EXPECT_GE(calls[i].first, due) << i;
    EXPECT_LT(calls[i].first, due + block) << i;
  }
  EXPECT_GE(uint64_t{step} * calls.size() + block, length) << "calls missing at the end";
}

class EraseTest : public BoardBackupTest {
 protected:
  // The flash up to one block into the File System: an erase of regions
  // below it that ran too far shows there, and the NAND board's flash disk
  // would take seconds to read whole.
  std::vector<uint8_t> FlashBelowFileSystem() { return FlashRange(0, Entry(REGION_FILE_SYSTEM).base + eraseBlock_); }
};

// The calls of the erase of a region of `length` bytes.
std::vector<std::pair<uint32_t, uint32_t>> CallsFor(uint32_t length) {
  std::vector<std::pair<uint32_t, uint32_t>> calls;
  for (const auto& call : g_log.erase) {
    if (call.second == length) calls.push_back(call);
  }
  return calls;
}

// Every block is reported: a NOR block takes a second of the chip's time.
TEST_P(EraseTest, EraseOneRegionReportsEveryBlock) {
  Attach();
  FlashRegion os = Entry(REGION_OS_IMAGE);
  std::vector<uint8_t> before = FlashBelowFileSystem();
  ASSERT_EQ(FWLEraseRegions(REGION_OS_IMAGE, LogErase), FWL_OK);
  EXPECT_TRUE(ErasedOnly(before, FlashBelowFileSystem(), {os}));
  ExpectProgressSteps(g_log.erase, os.length, eraseBlock_, eraseBlock_);
}

TEST_P(EraseTest, EraseSeveralRegionsLeavesTheRestAlone) {
  Attach();
  FlashRegion config = Entry(REGION_CONFIG_BLOCK);
  FlashRegion registry = Entry(REGION_REGISTRY);
  std::vector<uint8_t> before = FlashBelowFileSystem();
  ASSERT_EQ(FWLEraseRegions(REGION_CONFIG_BLOCK | REGION_REGISTRY, LogErase), FWL_OK);
  EXPECT_TRUE(ErasedOnly(before, FlashBelowFileSystem(), {config, registry}));
  ASSERT_NE(config.length, registry.length);
  EXPECT_EQ(g_log.erase.front(), std::make_pair(0u, config.length));
  ExpectProgressSteps(CallsFor(config.length), config.length, eraseBlock_, eraseBlock_);
  ExpectProgressSteps(CallsFor(registry.length), registry.length, eraseBlock_, eraseBlock_);
}

// The module's own flash driver must not write while a region is erased.
int ProbeLockDuringErase(uint32_t done, uint32_t total) {
  if (done == 0) g_log.erase.push_back({OtherProcessTakesFlashLock(50) ? 1u : 0u, total});
  return 1;
}

TEST_P(EraseTest, EraseHoldsTheFlashLockAndGivesItBack) {
  Attach();
  ASSERT_EQ(FWLEraseRegions(REGION_CONFIG_BLOCK | REGION_REGISTRY, ProbeLockDuringErase), FWL_OK);
  ASSERT_EQ(g_log.erase.size(), 2u);
  for (const auto& call : g_log.erase) EXPECT_EQ(call.first, 0u) << "another process took the lock mid-erase";
  EXPECT_TRUE(OtherProcessTakesFlashLock(2000));
}

TEST_P(EraseTest, EraseFailures) {
  // The registry's first block cannot be erased (on NAND, nor moved).
  Attach(Nand() ? NandFaultsWithoutReserve("faults.nand_erase_fail", 0x1400000 / kNandBlockBytes)
                : std::vector<std::string>{"faults.erase_error_block=0x1400000"});
  FlashRegion config = Entry(REGION_CONFIG_BLOCK);
  std::vector<uint8_t> before = Flash();
  // Regions after the failing one stay as they were.
  EXPECT_EQ(FWLEraseRegions(REGION_REGISTRY | REGION_FILE_SYSTEM, nullptr), FWL_ERR_FLASH_ERASE);
  EXPECT_TRUE(std::equal(before.begin() + Entry(REGION_FILE_SYSTEM).base, before.end(),
                         Flash().begin() + Entry(REGION_FILE_SYSTEM).base));

  g_log.stopErase = 1;
  std::vector<uint8_t> cells = FlashCells();
  EXPECT_EQ(FWLEraseRegions(REGION_CONFIG_BLOCK, LogErase), FWL_ERR_FLASH_ERASE);
  EXPECT_TRUE(FlashCells() == cells) << "stopped before the first block";

  EXPECT_EQ(FWLEraseRegions(REGION_NONE, nullptr), FWL_ERR_NO_REGION);
  EXPECT_EQ(FWLEraseRegions(REGION_SECOND_BOOTLOADER, nullptr), FWL_ERR_NO_REGION);
  ResetBackupLayers();
  EXPECT_EQ(FWLEraseRegions(config.id, nullptr), FWL_ERR_NOT_INITIALISED);
}

INSTANTIATE_TEST_SUITE_P(Boards, EraseTest, ::testing::ValuesIn(kBoards), BoardName);

}  // namespace
