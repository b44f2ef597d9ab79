// The processor's pin registers and OS timer as a program reaches them.
#include <gtest/gtest.h>
#include <time.h>

#include "module/gpio_model.h"
#include "module/mfp_model.h"
#include "module/os_timer.h"

namespace {

struct BankCase {
  uint32_t pin;
  uint32_t level, set, clear, direction;  // register offsets of the pin's bank
};

class GpioBanks : public ::testing::TestWithParam<BankCase> {};

// Outputs read what they drive, inputs their pull-up or what drives them from outside.
TEST_P(GpioBanks, LevelsFollowSetClearAndDirection) {
  const BankCase& c = GetParam();
  GpioBlock g;
  GpioPowerUp(&g, GpioLayout::Pxa3xx);
  uint32_t bit = 1u << (c.pin % 32);
  EXPECT_EQ(GpioRead(&g, c.level) & bit, bit) << "an undriven input reads its pull-up";
  GpioDriveFromOutside(&g, c.pin, false);
  EXPECT_EQ(GpioRead(&g, c.level) & bit, 0u);

  GpioWrite(&g, kGpioSetDirection + 4 * (c.pin % 128 / 32), bit);
  EXPECT_EQ(GpioRead(&g, c.direction), bit);
  GpioWrite(&g, c.set, bit);
  EXPECT_EQ(GpioRead(&g, c.level) & bit, bit) << "an output reads what it drives, not the outside";
  GpioWrite(&g, c.clear, bit);
  EXPECT_EQ(GpioRead(&g, c.level) & bit, 0u);
  GpioWrite(&g, kGpioClearDirection + 4 * (c.pin % 128 / 32), bit);
  EXPECT_EQ(GpioRead(&g, c.direction), 0u);
  EXPECT_EQ(g.strayAccesses, 0u);
}

INSTANTIATE_TEST_SUITE_P(Banks, GpioBanks,
                         ::testing::Values(BankCase{3, 0x00, 0x18, 0x24, 0x0C}, BankCase{40, 0x04, 0x1C, 0x28, 0x10},
                                           BankCase{95, 0x08, 0x20, 0x2C, 0x14},
                                           BankCase{100, 0x100, 0x118, 0x124, 0x10C},
                                           BankCase{129, 0x00, 0x18, 0x24, 0x0C}));

TEST(GpioLayouts, Pxa27xHasDirectionAndAlternateFunctionRegistersOnly) {
  GpioBlock g;
  GpioPowerUp(&g, GpioLayout::Pxa27x);
  GpioWrite(&g, kGpioDirection + 4, 0x00010001);
  GpioWrite(&g, kGpioAltFunction + 4 * (83 / 16), 2u << (2 * (83 % 16)));
  EXPECT_EQ(GpioRead(&g, kGpioDirection + 4), 0x00010001u);
  EXPECT_EQ(GpioRead(&g, kGpioAltFunction + 4 * 5), 2u << 6);
  GpioWrite(&g, kGpioSetDirection, 1);
  EXPECT_EQ(GpioRead(&g, kGpioDirection), 0u) << "no set-direction register on this layout";
  EXPECT_EQ(g.strayAccesses, 1u);

  GpioPowerUp(&g, GpioLayout::Pxa3xx);
  GpioWrite(&g, kGpioAltFunction, 3);
  EXPECT_EQ(GpioRead(&g, kGpioAltFunction), 0u) << "functions live in the multi-function registers";
}

struct MfpCase {
  uint32_t partCode, pin;
  bool exists;
  uint32_t offset;  // in the 0x40E10000 page
};

class MfpPins : public ::testing::TestWithParam<MfpCase> {};

TEST_P(MfpPins, RegisterOfEachPin) {
  const MfpCase& c = GetParam();
  uint32_t offset = 0;
  ASSERT_EQ(MfpRegisterOffset(c.partCode, c.pin, &offset), c.exists);
  if (c.exists) {
    EXPECT_EQ(offset, c.offset);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, MfpPins,
    ::testing::Values(MfpCase{2, 83, true, 0x124 + 4 * 252}, MfpCase{2, 129, true, 0x124 + 4 * 341},
                      MfpCase{2, 1, true, 0x124 + 4 * 1}, MfpCase{2, 145, true, 0x124 + 4 * 242},
                      MfpCase{2, 146, false, 0}, MfpCase{8, 84, true, 0x4E4}, MfpCase{9, 84, true, 0x4E4 + 12},
                      MfpCase{9, 29, true, 0x400 + 4 * 2}, MfpCase{9, 99, true, 0x600},
                      MfpCase{8, 135, false, 0}, MfpCase{9, 138, true, 0x538}, MfpCase{17, 0, false, 0}));

TEST(MfpBlock, RegistersKeepWhatIsWrittenAndComeUpOffTheirGpio) {
  MfpBlock m;
  MfpPowerUp(&m);
  EXPECT_NE(MfpFunctionAt(m, 0x4E4), kMfpFunctionGpio);
  MfpWrite(&m, 0x4E4, 0xC840);
  EXPECT_EQ(MfpRead(&m, 0x4E4), 0xC840u);
  EXPECT_EQ(MfpFunctionAt(m, 0x4E4), kMfpFunctionGpio);
  MfpWrite(&m, 0x4E6, 1);
  EXPECT_EQ(m.strayAccesses, 1u);
}

uint64_t NowNs() {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

// The counter runs at 3.25 MHz of the host's clock: between two reads it
// moves by what the time around them allows, and a write sets it.
TEST(OsTimer, CounterFollowsTheMonotonicClock) {
  OsTimer t;
  OsTimerPowerUp(&t);
  uint64_t written = NowNs();
  OsTimerWrite(&t, kOsTimerCounter, 0xFFFFFF00);
  uint64_t before0 = NowNs();
  uint32_t c0 = OsTimerRead(&t, kOsTimerCounter);
  uint64_t after0 = NowNs();
  struct timespec pause = {0, 2000000};
  ::nanosleep(&pause, nullptr);
  uint64_t before1 = NowNs();
  uint32_t c1 = OsTimerRead(&t, kOsTimerCounter);
  uint64_t after1 = NowNs();
  EXPECT_LE(uint32_t(c0 - 0xFFFFFF00u), (after0 - written) * 13 / 4000 + 2);
  uint64_t counts = uint32_t(c1 - c0);
  EXPECT_GE(counts + 2, (before1 - after0) * 13 / 4000);
  EXPECT_LE(counts, (after1 - before0) * 13 / 4000 + 2);
  EXPECT_GE(counts, 6500u) << "2 ms at 3.25 MHz";
}

}  // namespace
