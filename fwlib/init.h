// The update library's first call.
#pragma once

#include <cstdint>

// Oldest module hardware version the program supports on processor part code 2:
// (major << 16) | minor.
constexpr uint32_t FWL_HW_VERSION_MAJOR_SHIFT = 16;
constexpr int32_t FWL_MIN_HW_VERSION = 0x10002;  // 1.2
constexpr uint32_t FWL_HW_CHECKED_PART_CODE = 2;

// Checks the module hardware version (part code 2 only), brings up the flash
// access layer and scans every region. 0, 4 (hardware version) or 13 (flash).
// After success further calls return 0 at once; after a failure they return
// the same code without trying again.
uint32_t FWLInit();
