// The JTAG port every device has: controller, instruction register, BYPASS,
// IDCODE and USERCODE.
#include <gtest/gtest.h>

#include "tests/cpldmodel/cpld_fixture.h"

namespace {

constexpr uint32_t kIdcode = 0x16E5D093;

// TMS from Run-Test/Idle to each state, by state number.
const char* const kPathFromIdle[kTapStates] = {"111",  "",      "1",    "10",  "100",  "101",   "1010",   "10101",
                                               "1011", "11",    "110",  "1100", "1101", "11010", "110101", "11011"};

void Clock(const JtagDriver& d, bool tms) {
  d.set(d.context, false, tms, false);
  d.set(d.context, true, tms, false);
}

class TapReset : public ::testing::TestWithParam<int> {};

// Five clocks with TMS high reach Test-Logic-Reset from every state, and
// reset latches IDCODE whatever instruction was there.
TEST_P(TapReset, FiveTmsHighClocksResetFromAnyState) {
  JtagTap tap;
  JtagTapPowerUp(&tap, kIdcode, nullptr, nullptr);
  JtagDriver d = TapDriver(&tap);
  ScanInstruction(d, kTapInstrBypass, 1);
  for (const char* tms = kPathFromIdle[GetParam()]; *tms != 0; tms++) Clock(d, *tms == '1');
  ASSERT_EQ(tap.state, static_cast<TapState>(GetParam()));
  for (int i = 0; i < 5; i++) Clock(d, true);
  d.set(d.context, false, true, false);
  EXPECT_EQ(tap.state, TapState::TestLogicReset);
  EXPECT_EQ(tap.instruction, kTapInstrIdcode);
}

INSTANTIATE_TEST_SUITE_P(AllStates, TapReset, ::testing::Range(0, 16));

TEST(Tap, InstructionRegisterCapturesTheFixedPattern) {
  JtagTap tap;
  JtagTapPowerUp(&tap, kIdcode, nullptr, nullptr);
  Scanned s = ScanInstruction(TapDriver(&tap), kTapInstrIdcode, 32);
  EXPECT_EQ(s.irCapture & 0x03, 0x01);
  EXPECT_EQ(s.dr, kIdcode);
}

TEST(Tap, UsercodeWithoutADeviceReadsAllOnesAndBypassDelaysOneBit) {
  JtagTap tap;
  JtagTapPowerUp(&tap, kIdcode, nullptr, nullptr);
  EXPECT_EQ(ScanInstruction(TapDriver(&tap), kTapInstrUsercode, 32).dr, 0xFFFFFFFFu);
  // BYPASS captures 0, then hands each TDI bit on one clock later.
  EXPECT_EQ(ScanInstruction(TapDriver(&tap), kTapInstrBypass, 8, 0xA5).dr, uint64_t{0xA5} << 1 & 0xFF);
  // An instruction nobody has selects BYPASS too.
  EXPECT_EQ(ScanInstruction(TapDriver(&tap), 0x42, 8, 0x81).dr, uint64_t{0x02});
}

TEST(Tap, TdoFloatsOutsideTheShiftStatesAndChangesOnTheFallingEdge) {
  JtagTap tap;
  JtagTapPowerUp(&tap, 0, nullptr, nullptr);  // IDCODE of all zeros: a driven TDO reads 0
  JtagDriver d = TapDriver(&tap);
  for (bool tms : {false, true, false}) Clock(d, tms);  // Run-Test/Idle, Select-DR, Capture-DR
  d.set(d.context, false, false, false);
  EXPECT_TRUE(d.tdo(d.context)) << "not driven in Capture-DR";
  d.set(d.context, true, false, false);  // to Shift-DR, capturing
  EXPECT_TRUE(d.tdo(d.context)) << "TDO waits for the falling edge";
  d.set(d.context, false, false, false);
  EXPECT_FALSE(d.tdo(d.context));
}

}  // namespace
