// Sizes of the NOR chips a module can carry, by device code.
#pragma once

#include <cstdint>

// Bytes of one 16-bit chip with `deviceCode`, 0 for a code no chip answers with.
uint32_t NorChipBytes(uint32_t deviceCode);

// Bytes of the flash pair (two chips side by side on the 32-bit bus).
inline uint32_t NorPairBytes(uint32_t deviceCode) { return 2 * NorChipBytes(deviceCode); }
