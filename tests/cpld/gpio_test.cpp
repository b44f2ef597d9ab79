// Pin access: which registers a pin operation reaches on each layout.
#include <gtest/gtest.h>

#include "cpld/gpio.h"
#include "tests/cpld/cpld_fixture.h"

namespace {

// The kind and address of each access; values are checked where they matter.
using Access = std::pair<bool, uint32_t>;  // write, address
constexpr bool R = false, W = true;

std::vector<Access> Kinds(const std::vector<BusTraceEntry>& trace) {
  std::vector<Access> out;
  for (const BusTraceEntry& e : trace) out.push_back({e.write, e.address});
  return out;
}

struct PinCase {
  uint32_t partCode;
  uint32_t pin;
  uint32_t mfpr;        // the pin's multi-function register
  uint32_t bankOffset;  // 0, 4 or 8: the bank of its level and direction bit
  uint32_t bit;
};

class PinTable : public CpldTest, public ::testing::WithParamInterface<PinCase> {};

// Function, direction and level of one pin: the multi-function register is
// the pin's own, the level and direction bits those of pin mod 128.
TEST_P(PinTable, FunctionDirectionAndLevelRegisters) {
  const PinCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(AttachShared({"board.cpu_part_code=" + std::to_string(c.partCode)}));
  StartTrace();
  GpioSetFunction(c.pin, GPIO_FUNCTION_GPIO, 1);
  GpioSetFunction(c.pin, GPIO_FUNCTION_GPIO, 0);
  GpioSetLevel(c.pin, 1);
  GpioSetLevel(c.pin, 0);
  GpioGetLevel(c.pin);
  std::vector<BusTraceEntry> t = PinAccesses(Trace());
  uint32_t bank = kGpioBase + c.bankOffset;
  ASSERT_EQ(Kinds(t), (std::vector<Access>{{R, c.mfpr}, {W, c.mfpr}, {W, bank + 0x400}, {R, c.mfpr}, {W, c.mfpr},
                                           {W, bank + 0x420}, {W, bank + 0x18}, {W, bank + 0x24}, {R, bank}}));
  EXPECT_EQ(t[1].value, t[0].value & ~7u) << "function 0, the other bits kept";
  for (size_t i : {2, 5, 6, 7}) EXPECT_EQ(t[i].value, 1u << c.bit) << i;
}

INSTANTIATE_TEST_SUITE_P(
    PartCodes, PinTable,
    ::testing::Values(PinCase{2, 129, kMfpPart2 + 4 * 341, 0, 1},  // not pin 1's register (index 1)
                      PinCase{2, 5, kMfpPart2 + 4 * 90, 0, 5},
                      PinCase{9, 84, kMfpPart89 + (0x4E4 - 0xB4) + 4 * 3, 8, 20},  // three words up on part 9
                      PinCase{8, 84, kMfpPart89 + (0x4E4 - 0xB4), 8, 20},
                      PinCase{9, 130, kMfpPart89 + (0x2DC - 0xB4), 0, 2}));

TEST_F(CpldTest, PinsAtThePinCountAreIgnored) {
  for (auto [part, count] : {std::pair{2u, 146u}, {8u, 135u}, {9u, 139u}}) {
    ASSERT_NO_FATAL_FAILURE(AttachShared({"board.cpu_part_code=" + std::to_string(part)}));
    StartTrace();
    GpioSetFunction(count, GPIO_FUNCTION_GPIO, 1);
    GpioSetDirection(count, 1);
    GpioSetLevel(count, 1);
    EXPECT_EQ(GpioGetLevel(count), 0u);
    EXPECT_TRUE(PinAccesses(Trace()).empty()) << "part code " << part;
  }
}

// Pins whose GPIO function is not function 0 keep their direction when
// function 0 is selected.
TEST_F(CpldTest, PinsWithAnotherGpioFunctionKeepTheirDirection) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({"board.cpu_part_code=8"}));
  StartTrace();
  GpioSetFunction(46, 0, 1);
  GpioSetFunction(46, 1, 1);
  std::vector<BusTraceEntry> t = PinAccesses(Trace());
  uint32_t mfpr = kMfpPart89 + (0x400 + 4 * (46 - 27) - 0xB4);
  ASSERT_EQ(Kinds(t), (std::vector<Access>{{R, mfpr}, {W, mfpr}, {R, mfpr}, {W, mfpr}, {W, kGpioBase + 0x404}}));
  EXPECT_EQ(t[3].value, (t[2].value & ~7u) | 1);
  EXPECT_EQ(t[4].value, 1u << 14);
}

// The older layout: two function bits per pin, direction by read-modify-write.
TEST_F(CpldTest, OlderLayoutFunctionAndDirection) {
  ASSERT_NO_FATAL_FAILURE(AttachShared({}, "nor"));
  StartTrace();
  GpioSetFunction(85, 2, 0);
  GpioSetLevel(120, 1);
  std::vector<BusTraceEntry> t = PinAccesses(Trace());
  uint32_t gafr = kGpioBase + 0x54 + 4 * (85 / 16), gpdr = kGpioBase + 0x0C + 8;
  ASSERT_EQ(Kinds(t), (std::vector<Access>{{R, gafr}, {W, gafr}, {R, gpdr}, {W, gpdr}, {W, kGpioBase + 0x118}}));
  EXPECT_EQ(t[1].value, (t[0].value & ~(3u << 10)) | 2u << 10);
  EXPECT_EQ(t[3].value, t[2].value & ~(1u << 21));
  EXPECT_EQ(t[4].value, 1u << 24);
}

}  // namespace
