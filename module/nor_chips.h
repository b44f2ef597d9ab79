// The NOR chips a module can carry, by device code: size, where the small
// parameter blocks sit, the write buffer and how the lock bits behave.
#pragma once

#include <cstdint>

// Where a chip keeps its four 32 KB parameter blocks, if it has any.
enum class NorBoot : uint8_t { Uniform, Bottom, Top };

// Volatile lock bits are all set at every power-up; non-volatile ones keep
// their state across power cycles and are cleared all together.
enum class NorLockBits : uint8_t { Volatile, NonVolatile };

struct NorChipType {
  uint16_t deviceCode;
  uint32_t bytes;        // of one 16-bit chip
  NorBoot boot;
  uint32_t bufferWords;  // write buffer of one chip
  NorLockBits lockBits;
};

// Null for a code no chip answers with.
const NorChipType* NorChipTypeOf(uint32_t deviceCode);

// Bytes of one 16-bit chip with `deviceCode`, 0 for a code no chip answers with.
uint32_t NorChipBytes(uint32_t deviceCode);

// Bytes of the flash pair (two chips side by side on the 32-bit bus).
inline uint32_t NorPairBytes(uint32_t deviceCode) { return 2 * NorChipBytes(deviceCode); }
