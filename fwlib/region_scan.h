// Region discovery: fills the region table from the module itself (flash
// contents, the board's flash layout, the flash disk driver's registry values
// and the storage manager's store), sorts it and works out open lengths.
#pragma once

#include <cstdint>

// Only these bits of a scan mask name regions to re-discover.
constexpr uint32_t REGION_SCAN_BITS = 0xFF;

// Re-discovers the entries named in the low 8 bits of `mask`, sorts the
// whole table by base and gives open-ended regions their length; no region's
// used size exceeds its length. 0, or 14 when the flash lock could not be
// taken for a look-up (the region then shows as absent or empty).
uint32_t FWLScanRegions(uint32_t mask);
