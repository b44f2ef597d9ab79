#include "module/nor_chips.h"

namespace {

struct ChipSize {
  uint16_t deviceCode;
  uint32_t bytes;
};

constexpr uint32_t kMbit = 1024 * 1024 / 8;

// Every family comes as 64, 128 and 256 Mbit parts.
constexpr ChipSize kChips[] = {
    {0x0017, 64 * kMbit},  {0x0018, 128 * kMbit}, {0x0019, 256 * kMbit},
    {0x8801, 64 * kMbit},  {0x8802, 128 * kMbit}, {0x8803, 256 * kMbit},
    {0x881A, 64 * kMbit},  {0x881B, 128 * kMbit}, {0x891C, 256 * kMbit},
    {0x8817, 64 * kMbit},  {0x8818, 128 * kMbit}, {0x8919, 256 * kMbit},
    {0x8820, 64 * kMbit},  {0x8821, 128 * kMbit}, {0x8922, 256 * kMbit},
    {0x881D, 64 * kMbit},  {0x881E, 128 * kMbit}, {0x891F, 256 * kMbit},
};

}  // namespace

uint32_t NorChipBytes(uint32_t deviceCode) {
  for (const ChipSize& c : kChips) {
    if (c.deviceCode == deviceCode) return c.bytes;
  }
  return 0;
}
