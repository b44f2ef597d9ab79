// The JTAG port as the wires show it: TAP moves, bit order of a shift, and
// the retries of a mismatching scan, with TDO held high from outside.
#include <gtest/gtest.h>

#include <chrono>

#include "cpld/jtag.h"
#include "platform/clock.h"
#include "tests/cpld/cpld_fixture.h"

namespace {

JtagVector Vector(std::initializer_list<uint8_t> bytes) {
  JtagVector v{};
  for (uint8_t b : bytes) v.data[v.count++] = b;
  return v;
}

class JtagTest : public CpldTest {
 protected:
  void SetUp() override {
    CpldTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(AttachShared({"faults.tdo_stuck=high"}));
    ASSERT_TRUE(JtagOpen());
    ASSERT_EQ(JtagGotoState(&state_, JTAG_TEST_LOGIC_RESET), JTAG_OK);
  }
  // Moves to `from`, then the edges of the move to `to` alone.
  std::vector<int> Move(uint8_t from, uint8_t to, uint32_t* result) {
    JtagGotoState(&state_, from);
    StartTrace();
    *result = JtagGotoState(&state_, to);
    return TmsOf(TckEdges(Trace(), kTracePinsPart89));
  }
  uint8_t state_ = JTAG_TEST_LOGIC_RESET;
};

TEST_F(JtagTest, TapMoves) {
  uint32_t result = 0;
  // Pause to Pause goes round through Update and Capture.
  EXPECT_EQ(Move(JTAG_PAUSE_DR, JTAG_PAUSE_DR, &result), (std::vector<int>{1, 1, 1, 0, 1, 0}));
  EXPECT_EQ(result, JTAG_OK);
  EXPECT_EQ(Move(JTAG_TEST_LOGIC_RESET, JTAG_TEST_LOGIC_RESET, &result), std::vector<int>(6, 1));
  EXPECT_EQ(Move(JTAG_RUN_TEST_IDLE, JTAG_SHIFT_IR, &result), (std::vector<int>{1, 1, 0, 0}));
  EXPECT_EQ(state_, JTAG_SHIFT_IR);
  // Exit2 only from its Pause state; a target that is no state would be
  // walked toward forever.
  EXPECT_TRUE(Move(JTAG_RUN_TEST_IDLE, JTAG_EXIT2_DR, &result).empty());
  EXPECT_EQ(result, JTAG_ERR_ILLEGAL_STATE);
  EXPECT_TRUE(Move(JTAG_RUN_TEST_IDLE, 16, &result).empty());
  EXPECT_EQ(result, JTAG_ERR_ILLEGAL_STATE);
  EXPECT_EQ(state_, JTAG_RUN_TEST_IDLE);
}

// The last byte goes first, each byte from its least significant bit; the
// first byte gives only the bits the count still needs.
TEST_F(JtagTest, TwelveBitShiftOrderAndExit) {
  JtagVector tdi = Vector({0xA5, 0x3C});
  JtagVector captured = Vector({0x11, 0x22, 0x33});
  StartTrace();
  JtagGotoState(&state_, JTAG_SHIFT_DR);
  JtagShiftBits(12, &tdi, &captured, true);
  std::vector<JtagEdge> edges = TckEdges(Trace(), kTracePinsPart89);
  std::vector<JtagShift> shifts = ShiftsOf(edges);
  ASSERT_EQ(shifts.size(), 1u);
  EXPECT_EQ(shifts[0].bits, (std::vector<uint8_t>{0, 0, 1, 1, 1, 1, 0, 0, 1, 0, 1, 0}));
  std::vector<int> tms = TmsOf(std::vector<JtagEdge>(edges.end() - 12, edges.end()));
  std::vector<int> exitOnLast(11, 0);
  exitOnLast.push_back(1);
  EXPECT_EQ(tms, exitOnLast);
  // TDO reads high: the bits shifted are set, the rest cleared.
  EXPECT_EQ(captured.count, 2);
  EXPECT_EQ(JtagVectorValue(&captured), 0x0FFFu);
}

TEST_F(JtagTest, ScanRetriesThroughPauseWithLongerWaits) {
  JtagVector tdi = Vector({0x5A}), expected = Vector({0x00}), captured{};
  StartTrace();
  EXPECT_EQ(JtagScan(&state_, JTAG_SHIFT_DR, 8, &tdi, &captured, &expected, nullptr, JTAG_RUN_TEST_IDLE, 0, 0),
            JTAG_ERR_TDO_MISMATCH);
  EXPECT_EQ(ShiftsOf(TckEdges(Trace(), kTracePinsPart89)).size(), 1u) << "no retries allowed: one attempt";

  // 4 s, lengthened by a quarter before each wait that follows a retry.
  DWORD before = GetTickCount();
  StartTrace();
  EXPECT_EQ(
      JtagScan(&state_, JTAG_SHIFT_DR, 8, &tdi, &captured, &expected, nullptr, JTAG_RUN_TEST_IDLE, 4000000, 3),
      JTAG_ERR_MAX_RETRIES);
  DWORD waited = GetTickCount() - before;
  std::vector<size_t> lengths;
  for (const JtagShift& s : ShiftsOf(TckEdges(Trace(), kTracePinsPart89, JTAG_RUN_TEST_IDLE))) {
    lengths.push_back(s.bits.size());
  }
  // Each retry leaves Shift-DR for Pause-DR and comes back, clocking one bit on the way out.
  EXPECT_EQ(lengths, (std::vector<size_t>{8, 1, 8, 1, 8, 1, 8}));
  uint32_t sleeps = 5000 + 6250 + 7812 + 7812;
  EXPECT_GE(waited, sleeps);
  EXPECT_LT(waited, sleeps + 1000) << "skipped sleeps and a little real time";
  EXPECT_EQ(state_, JTAG_RUN_TEST_IDLE);
}

// Real time, with the sleeps not skipped: a wait never ends before the
// microseconds asked (2500 is not 2 ms). How short the waits stay is the
// CPLD benchmark's to show: a bound here would fail on a busy machine.
struct WaitCase {
  const char* name;
  uint32_t microseconds;
  uint32_t times;
};

class RunTestWaits : public JtagTest, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(RunTestWaits, LastAtLeastWhatIsAsked) {
  const WaitCase& c = GetParam();
  ClockSkipSleepsForTests(false);
  auto start = std::chrono::steady_clock::now();
  for (uint32_t i = 0; i < c.times; i++) JtagWaitMicroseconds(c.microseconds);
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(took.count(), int64_t{c.microseconds} * c.times);
}

INSTANTIATE_TEST_SUITE_P(Waits, RunTestWaits,
                         ::testing::Values(WaitCase{"BelowAMillisecond", 100, 20},
                                           WaitCase{"MillisecondsAndAPart", 2500, 4}),
                         [](const ::testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

}  // namespace
