// Erasing whole flash regions.
#pragma once

#include <cstdint>

#include "fwlib/callbacks.h"

// Progress is reported before every block: a NOR main block takes about a
// second, so a coarser step would leave a display standing still for
// seconds, and a report costs nothing beside an erase.
constexpr uint32_t ERASE_PROGRESS_STEP = 0;

// Erases every present region of `mask` in table order; `eraseProgress`
// gets (bytes erased, region length) during each region's erase, and
// (region length, region length) once it is erased, and may stop it. 0, or
// 3, 11, 16 (a failed or stopped erase; later regions are kept).
uint32_t FWLEraseRegions(uint32_t mask, EraseProgressFn eraseProgress);
