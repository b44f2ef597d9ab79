// The check a stream gets before it is played: its waits counted as the
// player waits them, retries included, the bound on their sum, and the
// vendors' files within it.
#include <gtest/gtest.h>

#include <string>

#include "cpld/xsvf.h"
#include "platform/clock.h"
#include "tests/cpld/cpld_fixture.h"
#include "tests/support/xsvf_writer.h"

namespace {

constexpr uint32_t kLongestMicroseconds = 0xFFFFFFFF;
constexpr uint32_t kSecond = 1000000;
constexpr uint64_t kDayMs = 24ull * 60 * 60 * 1000;

XsvfStream Wait(uint32_t microseconds) {
  XsvfStream s{XWAIT, 1, 1};  // in Run-Test/Idle, staying there
  XsvfPutValue(&s, 32, microseconds);
  return s;
}

XsvfStream Join(std::initializer_list<XsvfStream> parts) {
  XsvfStream s;
  for (const XsvfStream& p : parts) s.insert(s.end(), p.begin(), p.end());
  s.push_back(XCOMPLETE);
  return s;
}

XsvfStream RunTest(uint32_t microseconds) {
  XsvfStream s;
  XsvfPut32(&s, XRUNTEST, microseconds);
  return s;
}

XsvfStream Sir() {
  XsvfStream s;
  XsvfSir(&s, 8, 0xFF);
  return s;
}

// An 8-bit data scan that compares every bit it reads with 0.
XsvfStream ComparedScan() {
  XsvfStream s;
  XsvfPut32(&s, XSDRSIZE, 8);
  XsvfPut(&s, XTDOMASK, {0xFF});
  XsvfPut(&s, XSDRTDO, {0x00, 0x00});
  return s;
}

struct WaitCase {
  const char* name;
  XsvfStream stream;
  uint32_t error;
  uint64_t waitMilliseconds;  // 0: only more than the bound is asked
};

std::vector<WaitCase> WaitCases() {
  XsvfStream pieces = RunTest(kLongestMicroseconds);
  XsvfSdr(&pieces, XSDRB, 8, 0x01);
  XsvfPut(&pieces, XSDRE, {0x02});
  return {
      {"LongestRunTest", Join({RunTest(kLongestMicroseconds), Sir()}), XSVF_ERR_WAITS_TOO_LONG, 4294968},
      {"LongestWait", Join({Wait(kLongestMicroseconds)}), XSVF_ERR_WAITS_TOO_LONG, 4294968},
      {"AtTheBound", Join({RunTest(600 * kSecond), Sir()}), XSVF_OK, 600000},
      {"TwoWaitsOverTogether", Join({Wait(301 * kSecond), Wait(301 * kSecond)}), XSVF_ERR_WAITS_TOO_LONG, 602000},
      // Each retry waits a quarter longer, the first already: 125 + 156.25 + 195.3125 s, and the last attempt's again.
      {"RetriesAddUp", Join({XsvfStream{XREPEAT, 3}, RunTest(100 * kSecond), ComparedScan()}),
       XSVF_ERR_WAITS_TOO_LONG, 671875},
      {"RetriesWithoutAWaitWaitNothing", Join({XsvfStream{XREPEAT, 255}, RunTest(0), ComparedScan()}), XSVF_OK, 0},
      {"InstructionScansAreNotRetried", Join({XsvfStream{XREPEAT, 255}, RunTest(500 * kSecond), Sir()}), XSVF_OK,
       500000},
      {"PiecesDoNotWait", Join({pieces}), XSVF_OK, 0},
      // Counted as asked, in microseconds, and the sum rounded up: 3.499 ms.
      {"WaitsCountWhatTheyAsk", Join({Wait(0), Wait(999), RunTest(2500), Sir()}), XSVF_OK, 4},
  };
}

class StreamWaits : public ::testing::TestWithParam<WaitCase> {};

TEST_P(StreamWaits, CountedAndBounded) {
  const WaitCase& c = GetParam();
  XsvfCheckResult r{};
  EXPECT_EQ(XsvfCheck(c.stream.data(), static_cast<uint32_t>(c.stream.size()), &r), c.error);
  EXPECT_EQ(r.waitMilliseconds, c.waitMilliseconds);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamWaits, ::testing::ValuesIn(WaitCases()),
                         [](const ::testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

// 255 retries, each held at the longest wait once lengthened that far.
TEST(StreamWaitsThroughRetries, RunToDays) {
  XsvfStream s = Join({XsvfStream{XREPEAT, 255}, RunTest(kSecond), ComparedScan()});
  XsvfCheckResult r{};
  EXPECT_EQ(XsvfCheck(s.data(), static_cast<uint32_t>(s.size()), &r), XSVF_ERR_WAITS_TOO_LONG);
  EXPECT_GT(r.waitMilliseconds, 10 * kDayMs);
}

// Where every attempt mismatches the run waits the most the check counted.
TEST_F(CpldTest, TheCheckCountsWhatTheRunSleeps) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({"faults.tdo_stuck=high"}));
  XsvfStream s = Join({Wait(0), RunTest(2500), Sir(), XsvfStream{XREPEAT, 20}, RunTest(50000), ComparedScan()});
  XsvfCheckResult r{};
  ASSERT_EQ(XsvfCheck(s.data(), static_cast<uint32_t>(s.size()), &r), XSVF_OK);
  DWORD before = GetTickCount();
  EXPECT_EQ(XsvfRunDetailed(s.data(), static_cast<uint32_t>(s.size()), nullptr), XSVF_ERR_MAX_RETRIES);
  uint64_t slept = GetTickCount() - before;
  // The tick count also runs on with the run's own time; a retry more or less
  // is seconds. It moves in whole milliseconds and the check rounds up, so
  // one millisecond is the ticks' own.
  EXPECT_GE(slept + 1, r.waitMilliseconds);
  EXPECT_LT(slept, r.waitMilliseconds + 1000);
}

class VendorStreams : public ::testing::TestWithParam<const char*> {};

TEST_P(VendorStreams, PassWellWithinTheBound) {
  XsvfStream s = XsvfVendorFile(GetParam());
  ASSERT_FALSE(s.empty()) << GetParam();
  XsvfCheckResult r{};
  EXPECT_EQ(XsvfCheck(s.data(), static_cast<uint32_t>(s.size()), &r), XSVF_OK);
  EXPECT_EQ(r.offset, s.size()) << "XCOMPLETE is the last byte";
  EXPECT_LT(r.waitMilliseconds * 10, XSVF_WAIT_BOUND_MS);
  RecordProperty("waitMilliseconds", std::to_string(r.waitMilliseconds));
  RecordProperty("commands", std::to_string(r.commandCount));
}

INSTANTIATE_TEST_SUITE_P(Files, VendorStreams,
                         ::testing::Values("xc2c64a-idcode.xsvf", "xc2c64a-erase.xsvf", "xc2c64a-blank-check.xsvf",
                                           "xc2c64a-light-led.xsvf"));

}  // namespace
