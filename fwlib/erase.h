// Erasing whole flash regions.
#pragma once

#include <cstdint>

#include "fwlib/callbacks.h"

// Progress is reported every region length / 32 bytes, but no more often
// than every ERASE_MIN_PROGRESS_STEP bytes.
constexpr uint32_t ERASE_PROGRESS_DIVISOR = 32;
constexpr uint32_t ERASE_MIN_PROGRESS_STEP = 0x20000;

// Erases every present region of `mask` in table order; `eraseProgress`
// gets (bytes erased, region length) during each region's erase, and
// (region length, region length) once it is erased, and may stop it. 0, or
// 3, 11, 16 (a failed or stopped erase; later regions are kept).
uint32_t FWLEraseRegions(uint32_t mask, EraseProgressFn eraseProgress);
