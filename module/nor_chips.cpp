#include "module/nor_chips.h"

namespace {

constexpr uint32_t kMbit = 1024 * 1024 / 8;
constexpr uint32_t kSmallBuffer = 16;  // 32 bytes, the oldest family
constexpr uint32_t kLargeBuffer = 32;

constexpr NorBoot kUniform = NorBoot::Uniform;
constexpr NorBoot kBottom = NorBoot::Bottom;
constexpr NorBoot kTop = NorBoot::Top;
constexpr NorLockBits kVolatile = NorLockBits::Volatile;
constexpr NorLockBits kKept = NorLockBits::NonVolatile;

// Every family comes as 64, 128 and 256 Mbit parts; the 256 Mbit parts of the
// boot-block families carry another prefix, so each code is listed whole.
constexpr NorChipType kChips[] = {
    {0x0017, 64 * kMbit, kUniform, kSmallBuffer, kKept},
    {0x0018, 128 * kMbit, kUniform, kSmallBuffer, kKept},
    {0x0019, 256 * kMbit, kUniform, kSmallBuffer, kKept},
    {0x8801, 64 * kMbit, kUniform, kLargeBuffer, kVolatile},
    {0x8802, 128 * kMbit, kUniform, kLargeBuffer, kVolatile},
    {0x8803, 256 * kMbit, kUniform, kLargeBuffer, kVolatile},
    {0x881A, 64 * kMbit, kBottom, kLargeBuffer, kVolatile},
    {0x881B, 128 * kMbit, kBottom, kLargeBuffer, kVolatile},
    {0x891C, 256 * kMbit, kBottom, kLargeBuffer, kVolatile},
    {0x8817, 64 * kMbit, kTop, kLargeBuffer, kVolatile},
    {0x8818, 128 * kMbit, kTop, kLargeBuffer, kVolatile},
    {0x8919, 256 * kMbit, kTop, kLargeBuffer, kVolatile},
    {0x8820, 64 * kMbit, kBottom, kLargeBuffer, kVolatile},
    {0x8821, 128 * kMbit, kBottom, kLargeBuffer, kVolatile},
    {0x8922, 256 * kMbit, kBottom, kLargeBuffer, kVolatile},
    {0x881D, 64 * kMbit, kTop, kLargeBuffer, kVolatile},
    {0x881E, 128 * kMbit, kTop, kLargeBuffer, kVolatile},
    {0x891F, 256 * kMbit, kTop, kLargeBuffer, kVolatile},
};

}  // namespace

const NorChipType* NorChipTypeOf(uint32_t deviceCode) {
  for (const NorChipType& c : kChips) {
    if (c.deviceCode == deviceCode) return &c;
  }
  return nullptr;
}

uint32_t NorChipBytes(uint32_t deviceCode) {
  const NorChipType* type = NorChipTypeOf(deviceCode);
  return type == nullptr ? 0 : type->bytes;
}
