// Region discovery: fills the region table from the module itself (flash
// contents, the board's flash layout, the flash disk driver's registry values
// and the storage manager's store), sorts it and works out open lengths.
#pragma once

#include <cstdint>

// Only these bits of a scan mask name regions to re-discover.
constexpr uint32_t REGION_SCAN_BITS = 0xFF;

// Re-discovers the entries named in the low 8 bits of `mask`, sorts the
// whole table by base and gives open-ended regions their length. Always 0.
uint32_t FWLScanRegions(uint32_t mask);
