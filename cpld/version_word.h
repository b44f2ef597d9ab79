// The version word the CPLD's firmware leaves in the device's user code:
// major in the top 16 bits, minor in the low byte, and between them a byte
// that marks a beta, whose low nibble is its build number. One decoding for
// the CPLDVersion report and for fwmodule info, so both read a word alike.
#pragma once

#include <cstdint>

// What the user code reads while its row is erased: an erased or
// half-programmed device, or a design that sets no version.
constexpr uint32_t CPLD_VERSION_NONE = 0xFFFFFFFF;

struct CpldVersion {
  uint32_t major;
  uint32_t minor;
  bool beta;
  uint32_t build;  // meaningful for a beta only
};

constexpr uint32_t CPLD_VERSION_MAJOR_SHIFT = 16;
constexpr uint32_t CPLD_VERSION_MINOR_MASK = 0xFF;
constexpr uint32_t CPLD_VERSION_BETA_SHIFT = 8;
constexpr uint32_t CPLD_VERSION_BETA_MASK = 0xFF;
constexpr uint32_t CPLD_VERSION_BUILD_MASK = 0x0F;

constexpr CpldVersion CpldVersionOf(uint32_t word) {
  uint32_t betaByte = (word >> CPLD_VERSION_BETA_SHIFT) & CPLD_VERSION_BETA_MASK;
  return {word >> CPLD_VERSION_MAJOR_SHIFT, word & CPLD_VERSION_MINOR_MASK, betaByte != 0,
          betaByte & CPLD_VERSION_BUILD_MASK};
}
