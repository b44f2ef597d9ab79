#include <gtest/gtest.h>

#include <string>

#include "flash/nand.h"
#include "flash/nand_controller.h"
#include "platform/clock.h"
#include "tests/nand/nand_fixture.h"

namespace {

constexpr uint32_t kControl = kNandControllerBase + 0x00;
constexpr uint32_t kTiming0 = kNandControllerBase + 0x04;
constexpr uint32_t kTiming1 = kNandControllerBase + 0x0C;
constexpr uint32_t kDataBuffer = kNandControllerBase + 0x40;
constexpr uint32_t kRun = 0x10000000;

std::vector<uint32_t> WritesTo(const std::vector<BusTraceEntry>& trace, uint32_t address) {
  std::vector<uint32_t> values;
  for (const BusTraceEntry& e : trace) {
    if (e.write && e.address == address) values.push_back(e.value);
  }
  return values;
}

struct SetUpCase {
  uint32_t chipId;
  uint32_t partCode;  // 8 and 9 clock the controller at 156 MHz, others at 104
  uint32_t timing0;
  uint32_t timing1;
  uint32_t control;
};

class NandSetUp : public NandTest, public ::testing::WithParamInterface<SetUpCase> {};

// The first to start sets the controller up twice: slow timings for any
// chip, then the identified chip's, and leaves its control value in place.
TEST_P(NandSetUp, TimingsAndControlForTheIdentifiedChip) {
  const SetUpCase& c = GetParam();
  NandBoard board;
  board.chipId = c.chipId;
  board.partCode = c.partCode;
  ASSERT_NO_FATAL_FAILURE(Attach(board));
  StartTrace();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NAND) << "FlashError " << FlashError;
  std::vector<BusTraceEntry> trace = Trace();
  EXPECT_EQ(WritesTo(trace, kTiming0), (std::vector<uint32_t>{0x003F3F3F, c.timing0}));
  EXPECT_EQ(WritesTo(trace, kTiming1), (std::vector<uint32_t>{0x1A9F00AA, c.timing1}));
  std::vector<uint32_t> control = WritesTo(trace, kControl);
  ASSERT_FALSE(control.empty());
  EXPECT_EQ(control.back(), c.control) << "the operation ends with the control value put back";
}

INSTANTIATE_TEST_SUITE_P(Chips, NandSetUp,
                         ::testing::Values(SetUpCase{0xD3EC, 2, 0x001A090A, 0x0A340061, 0x0185DFFF},
                                           SetUpCase{0xD3EC, 8, 0x0023090B, 0x0F4E0091, 0x0185DFFF},
                                           SetUpCase{0xDCAD, 9, 0x003B0A0B, 0x0F4E0092, 0x0104DFFF}));

TEST_F(NandTest, LaterStartAdoptsTheControllerAsFound) {
  NandBoard board;
  board.partCode = 2;  // the identification goes out with the control value unmasked
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  ForgetDriver();  // the shared map stays built, as for a second program
  StartTrace();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NAND) << "FlashError " << FlashError;
  std::vector<BusTraceEntry> trace = Trace();
  EXPECT_TRUE(WritesTo(trace, kTiming0).empty());
  EXPECT_TRUE(WritesTo(trace, kTiming1).empty());
  std::vector<uint32_t> control = WritesTo(trace, kControl);
  ASSERT_FALSE(control.empty());
  EXPECT_EQ(control.front(), 0x0105DFFFu | kRun) << "the first control write is the identification command's";
  EXPECT_EQ(control.back(), 0x0105DFFFu);
}

// The chip with two dies: pages from 0x40000 on are the second die's.
TEST_F(NandTest, SecondChipSelectFromPage0x40000) {
  NandBoard board;
  board.chipId = 0xDCAD;
  ASSERT_NO_FATAL_FAILURE(AttachAndInit(board));
  std::vector<uint8_t> data = Pattern(2 * kNandPage, 1);
  ASSERT_EQ(FlashOps.Write(reinterpret_cast<const uint32_t*>(data.data()), 0x3FFFF * kNandPage, 2 * kNandPage), 1u);
  EXPECT_EQ(Cells(0x3FFFF), std::vector<uint8_t>(data.begin(), data.begin() + kNandPage));
  EXPECT_EQ(Cells(0x40000), std::vector<uint8_t>(data.begin() + kNandPage, data.end()));
  EXPECT_EQ(Cells(0), std::vector<uint8_t>(kNandPage, 0xFF)) << "not the first die's page 0";
  std::vector<uint8_t> back(2 * kNandPage);
  ASSERT_EQ(FlashOps.Read(reinterpret_cast<uint32_t*>(back.data()), 0x3FFFF * kNandPage, 2 * kNandPage), 1u);
  EXPECT_EQ(back, data);
}

struct SpareCase {
  int spare;
  int ecc;
  uint32_t bytes;
};

class NandSpare : public NandTest, public ::testing::WithParamInterface<SpareCase> {};

// A page transfer must take exactly what the controller carries, or the
// next command finds words left over.
TEST_P(NandSpare, PageReadTakesTheSpareBytesTheControllerCarries) {
  ASSERT_NO_FATAL_FAILURE(AttachAndInit());
  NandSetSpare(GetParam().spare);
  NandSetEcc(GetParam().ecc);
  EXPECT_EQ(NandSpareBytes(), GetParam().bytes);
  uint32_t page[512];
  for (uint32_t i = 0; i < 512; i++) page[i] = 0x01020304u * (i + 1);
  ASSERT_EQ(NandProgramPage(page, nullptr, 0, 300), NAND_STATUS_OK);
  StartTrace();
  EXPECT_EQ(NandReadPage(page, nullptr, 0, 300), NAND_STATUS_OK);
  size_t reads = 0;
  for (const BusTraceEntry& e : Trace()) reads += !e.write && e.address == kDataBuffer;
  EXPECT_EQ(reads, 512 + GetParam().bytes / 4);
  NandRestoreControl();
}

INSTANTIATE_TEST_SUITE_P(Flags, NandSpare,
                         ::testing::Values(SpareCase{1, 1, 40}, SpareCase{1, 0, 64}, SpareCase{0, 1, 0}));

TEST_F(NandTest, ChipThatNeverAnswersFailsInitialisation) {
  NandBoard board;
  board.settings = {"faults.never_ready=true"};
  ASSERT_NO_FATAL_FAILURE(Attach(board));
  // The waits are timed: sleeps that pass at once end them by the clock.
  ClockSkipSleepsForTests(true);
  EXPECT_EQ(FlashInit(), 0u);
  ClockSkipSleepsForTests(false);
  EXPECT_EQ(FlashError, FLASH_ERR_TIMEOUT);
  EXPECT_EQ(std::u16string(FlashNoAnswer()).rfind(u"the controller to take a command, status 0x000 after ", 0), 0u);
}

}  // namespace
