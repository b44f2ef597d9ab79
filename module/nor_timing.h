// Typical datasheet times of the NOR chips: the busy time in realistic timing
// and what the CFI query reports.
#pragma once

#include <cstdint>

constexpr uint32_t kNorWordProgramUs = 210;
constexpr uint32_t kNorBufferProgramUs = 218;  // one whole buffer
constexpr uint32_t kNorMainBlockEraseUs = 1000000;
constexpr uint32_t kNorParamBlockEraseUs = 400000;

// Worst case over typical, as the CFI query gives it (a power of two).
constexpr uint32_t kNorMaxProgramFactorLog2 = 2;
constexpr uint32_t kNorMaxEraseFactorLog2 = 2;
