#include <gtest/gtest.h>

#include <algorithm>

#include "flash/nand.h"
#include "flash/nand_bbm.h"
#include "tests/nand/nand_fixture.h"

namespace {

constexpr uint32_t kReserveFirst = 2047;  // first free pick on the 2048-block chip

using NandOps = NandTest;

uint32_t* Words(std::vector<uint8_t>& v) { return reinterpret_cast<uint32_t*>(v.data()); }

bool Erased(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::all_of(v.begin() + from, v.begin() + to, [](uint8_t b) { return b == 0xFF; });
}

std::vector<uint8_t> PageOf(const std::vector<uint8_t>& data, size_t page) {
  return std::vector<uint8_t>(data.begin() + page * kNandPage, data.begin() + (page + 1) * kNandPage);
}

TEST_F(NandOps, PartialPagesArePaddedAndCopiedThroughOnePage) {
  ASSERT_NO_FATAL_FAILURE(AttachAndInit());
  std::vector<uint8_t> data = Pattern(100, 1);
  ASSERT_EQ(FlashOps.Write(Words(data), 10, 100), 1u);
  std::vector<uint8_t> page = Cells(0);
  EXPECT_TRUE(Erased(page, 0, 10));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), page.begin() + 10));
  EXPECT_TRUE(Erased(page, 110, kNandPage));
  EXPECT_TRUE(Erased(Cells(1), 0, kNandPage));

  // Logical page 70 sits one page higher, behind the list page.
  std::vector<uint8_t> planted = Pattern(kNandPage, 2);
  PutCells(71, planted);
  uint32_t word = 0;
  ASSERT_EQ(FlashOps.Read(&word, kNandPage * 70 + 8, 4), 1u);
  EXPECT_TRUE(std::equal(planted.begin() + 8, planted.begin() + 12, reinterpret_cast<uint8_t*>(&word)));
}

struct MarkerCase {
  uint32_t partCode;
  uint32_t offset;
  uint32_t length;
  bool marked;
};

class NandBootMarker : public NandTest, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(NandBootMarker, LandsOnFlashBytes4To7AndInTheCallersBuffer) {
  const MarkerCase& c = GetParam();
  NandBoard board;
  board.partCode = c.partCode;
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> data = Pattern(c.length, 3);
  std::vector<uint8_t> expected = data;
  const uint8_t marker[] = {0x48, 0x4D, 0x49, 0x54};
  for (uint32_t b = 4; c.marked && b < 8; b++) expected[b - c.offset] = marker[b - 4];
  ASSERT_EQ(FlashOps.Write(Words(data), c.offset, c.length), 1u);
  EXPECT_EQ(data, expected);
  std::vector<uint8_t> page = Cells(0);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), page.begin() + c.offset));
}

INSTANTIATE_TEST_SUITE_P(Writes, NandBootMarker,
                         ::testing::Values(MarkerCase{9, 0, 16, true}, MarkerCase{2, 0, 16, false},
                                           MarkerCase{9, 2, 10, true}, MarkerCase{9, 8, 8, false}));

TEST_F(NandOps, PagesAroundTheListPageGoToTheirPlaces) {
  NandBoard board;
  board.list = {{2, kReserveFirst}};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> data = Pattern(11 * kNandPage, 4);
  std::fill(data.begin() + 7 * kNandPage, data.begin() + 8 * kNandPage, 0xFF);  // logical page 127
  ASSERT_EQ(FlashOps.Write(Words(data), 120 * kNandPage, 11 * kNandPage), 1u);
  for (uint32_t i = 0; i < 7; i++) EXPECT_EQ(Cells(121 + i), PageOf(data, i)) << "logical page " << 120 + i;
  for (uint32_t i = 8; i < 11; i++) EXPECT_EQ(Cells(kReserveFirst * 64 + i - 8), PageOf(data, i));
  EXPECT_TRUE(Erased(Cells(128), 0, kNandPage)) << "block 2 lives elsewhere";
  std::vector<uint8_t> back(data.size(), 0);
  ASSERT_EQ(FlashOps.Read(Words(back), 120 * kNandPage, 11 * kNandPage), 1u);
  EXPECT_EQ(back, data);
}

// The one logical page without cells must neither lose nor invent bytes.
TEST_F(NandOps, UnstoredPageReadsErasedAndTakesOnlyErasedData) {
  ASSERT_NO_FATAL_FAILURE(AttachAndInit());
  std::vector<uint8_t> page(kNandPage, 0);
  ASSERT_EQ(FlashOps.Read(Words(page), 127 * kNandPage, kNandPage), 1u);
  EXPECT_TRUE(Erased(page, 0, kNandPage));
  page[100] = 0x5A;
  EXPECT_EQ(FlashOps.Write(Words(page), 127 * kNandPage, kNandPage), 0u);
  EXPECT_EQ(FlashError, FLASH_ERR_TIMEOUT);
  page[100] = 0xFF;
  EXPECT_EQ(FlashOps.Write(Words(page), 127 * kNandPage, kNandPage), 1u);
}

TEST_F(NandOps, EraseOfBlock0KeepsTheListPage) {
  NandBoard board;
  board.list = {{5, kReserveFirst}};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> data = Pattern(64 * kNandPage, 5);
  ASSERT_EQ(FlashOps.Write(Words(data), 0, 64 * kNandPage), 1u);
  std::vector<uint8_t> list = Cells(63);
  std::vector<uint8_t> logical63 = Cells(64);
  ASSERT_EQ(FlashOps.Erase(0, 1), 1u);
  EXPECT_TRUE(Erased(Cells(0), 0, kNandPage));
  EXPECT_TRUE(Erased(Cells(62), 0, kNandPage));
  EXPECT_EQ(Cells(63), list);
  EXPECT_EQ(Cells(64), logical63) << "block 1 is not touched";
}

TEST_F(NandOps, RangesOutsideTheFlashAreRefusedUntouched) {
  ASSERT_NO_FATAL_FAILURE(AttachAndInit());
  uint32_t words[8] = {};
  struct Range {
    uint32_t offset;
    uint32_t length;
  };
  for (Range r : {Range{FlashSize - 4, 8}, Range{0xFFFFFFF0, 0x20}}) {
    SCOPED_TRACE(r.offset);
    StartTrace();
    EXPECT_EQ(FlashOps.Read(words, r.offset, r.length), 0u);
    EXPECT_EQ(FlashOps.Write(words, r.offset, r.length), 0u);
    EXPECT_EQ(FlashError, FLASH_ERR_TIMEOUT);
    EXPECT_EQ(FlashOps.Erase(r.offset, r.length), 0u);
    for (const BusTraceEntry& e : Trace()) EXPECT_NE(e.address, kNandControllerBase + 0x48) << "a command went out";
  }
  EXPECT_EQ(FlashOps.Read(words, FlashSize - 4, 4), 1u) << "the last word is inside";
}

TEST_F(NandOps, FailedProgramMovesTheBlockAndTheDataArrivesIntact) {
  NandBoard board;
  board.settings = {"faults.nand_program_fail=20@3"};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> data = Pattern(10 * kNandPage, 6);
  ASSERT_EQ(FlashOps.Write(Words(data), 20 * kNandBlock, 10 * kNandPage), 1u);
  EXPECT_EQ(FlashError, FLASH_ERR_NONE);
  EXPECT_EQ(ListInCells(), (std::vector<std::pair<uint16_t, uint16_t>>{{20, kReserveFirst}}));
  EXPECT_EQ(MapEntry(20), kReserveFirst);
  for (uint32_t i = 0; i < 10; i++) EXPECT_EQ(Cells(kReserveFirst * 64 + i), PageOf(data, i)) << "page " << i;
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(FlashOps.Read(Words(back), 20 * kNandBlock, 10 * kNandPage), 1u);
  EXPECT_EQ(back, data);
}

TEST_F(NandOps, FailedEraseMovesTheBlock) {
  NandBoard board;
  board.settings = {"faults.nand_erase_fail=30"};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  ASSERT_EQ(FlashOps.Erase(30 * kNandBlock, 1), 1u);
  EXPECT_EQ(ListInCells(), (std::vector<std::pair<uint16_t, uint16_t>>{{30, kReserveFirst}}));
  EXPECT_EQ(MapEntry(30), kReserveFirst);
}

// Block 1 goes into the reserve because its erase fails, or because the
// program of its first page, logical page 63, fails: that page goes along,
// so the next erase of the boot area reaches it and a rewrite reads back.
class NandBootBlockMove : public NandTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NandBootBlockMove, LogicalPage63FollowsBlock1) {
  NandBoard board;
  board.settings = {GetParam()};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  for (uint32_t seed : {9u, 10u}) {
    SCOPED_TRACE(seed);
    std::vector<uint8_t> data = Pattern(3 * kNandPage, seed);  // logical pages 62-64
    ASSERT_EQ(FlashOps.Erase(0, 2 * kNandBlock), 1u);
    ASSERT_EQ(FlashOps.Write(Words(data), 62 * kNandPage, 3 * kNandPage), 1u);
    EXPECT_EQ(ListInCells(), (std::vector<std::pair<uint16_t, uint16_t>>{{1, kReserveFirst}}));
    EXPECT_EQ(Cells(kReserveFirst * 64), PageOf(data, 1)) << "logical page 63";
    EXPECT_EQ(Cells(kReserveFirst * 64 + 1), PageOf(data, 2)) << "logical page 64";
    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(FlashOps.Read(Words(back), 62 * kNandPage, 3 * kNandPage), 1u);
    EXPECT_EQ(back, data);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, NandBootBlockMove,
                         ::testing::Values("faults.nand_erase_fail=1", "faults.nand_program_fail=1"));

TEST_F(NandOps, ExhaustedReserveFailsTheWrite) {
  NandBoard board;
  for (uint16_t i = 0; i < 40; i++) board.list.emplace_back(static_cast<uint16_t>(100 + i), 2047 - i);
  board.settings = {"faults.nand_program_fail=300"};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> list = Cells(63);
  uint32_t replacement = 0;
  EXPECT_EQ(BbmReplaceBlock(300 * 64, &replacement, BBM_MOVE), 0u);
  EXPECT_EQ(FlashError, FLASH_ERR_RESERVE_EXHAUSTED);
  std::vector<uint8_t> data = Pattern(kNandPage, 7);
  EXPECT_EQ(FlashOps.Write(Words(data), 300 * kNandBlock, kNandPage), 0u);
  EXPECT_EQ(FlashError, FLASH_ERR_FAILED);
  EXPECT_EQ(Cells(63), list);
}

struct EccCase {
  const char* fault;
  uint32_t result;
  uint32_t flashError;
};

class NandEcc : public NandTest, public ::testing::WithParamInterface<EccCase> {};

TEST_P(NandEcc, BitErrorsOnRead) {
  NandBoard board;
  board.settings = {std::string(GetParam().fault) + "=300"};
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> data = Pattern(kNandPage, 8);
  ASSERT_EQ(FlashOps.Write(Words(data), 300 * kNandPage, kNandPage), 1u);
  std::vector<uint8_t> back(kNandPage);
  EXPECT_EQ(FlashOps.Read(Words(back), 300 * kNandPage, kNandPage), GetParam().result);
  EXPECT_EQ(FlashError, GetParam().flashError);
  if (GetParam().result != 0) {
    EXPECT_EQ(back, data);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, NandEcc,
                         ::testing::Values(EccCase{"faults.nand_correctable_pages", 1, FLASH_ERR_ECC_CORRECTED},
                                           EccCase{"faults.nand_uncorrectable_pages", 0,
                                                   FLASH_ERR_ECC_UNCORRECTABLE}));

}  // namespace
