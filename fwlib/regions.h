// The module's named flash regions: identifiers and flags, the region table
// with its queries. All addresses are byte offsets from the start of the flash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// One bit per region in the low 24 bits; several OR into a region mask.
constexpr uint32_t REGION_NONE = 0x00000000;
constexpr uint32_t REGION_BOOTLOADER = 0x00000001;
constexpr uint32_t REGION_CONFIG_BLOCK = 0x00000002;
constexpr uint32_t REGION_OS_IMAGE = 0x00000004;
constexpr uint32_t REGION_REGISTRY = 0x00000008;
constexpr uint32_t REGION_FILE_SYSTEM = 0x00000010;
constexpr uint32_t REGION_SECOND_BOOTLOADER = 0x00000020;
constexpr uint32_t REGION_CPLD_FIRMWARE = 0x00000400;  // only ever a bit in image summaries

constexpr uint32_t REGION_ALL = 0x00FFFFFF;
constexpr uint32_t REGION_ID_BITS = 0x00FFFFFF;  // the identifier part of an id; flags sit above
// Image summaries only: the file holds BIN records.
constexpr uint32_t IMAGE_HAS_BIN_RECORDS = 0x00800000;
// A table entry whose region this module does not have; every query skips it.
constexpr uint32_t REGION_ABSENT = 0x01000000;
// On the bootloader entry: the bootloader at 0 is the first of two stages.
// In an image summary: the image maps into that first bootloader; a
// bootloader build was moved onto the second one where the layout allowed.
constexpr uint32_t REGION_FIRST_BOOTLOADER = 0x02000000;

struct FlashRegion {
  uint32_t id;      // identifier with flags
  uint32_t base;
  uint32_t length;
  uint32_t used;    // bytes in use from the start; 0 when unknown
};

struct RegionSummary {
  uint32_t flags;   // OR of the regions' identifiers and flags
  uint32_t start;
  uint32_t length;
  uint32_t used;
};

constexpr size_t REGION_COUNT = 6;
// The table and every list a query fills end with one all-zero entry.
constexpr size_t REGION_TABLE_ENTRIES = REGION_COUNT + 1;

// The live table: REGION_TABLE_ENTRIES entries, sorted by base after a scan,
// so callers find entries by identifier, never by position.
FlashRegion* RegionTable();

// The default entry of the first region with a bit of `id`, absent with its
// default base and length; null when no region has such a bit.
const FlashRegion* RegionDefaults(uint32_t id);

// Position of the File System entry in the sorted table (kept by the scan).
size_t RegionFileSystemIndex();
void RegionSetFileSystemIndex(size_t index);

// Summary of the present regions sharing a bit with summary->flags, and,
// when `list` is given (room for REGION_TABLE_ENTRIES), those entries in
// table order followed by a zero entry. 3 before FWLInit, 11 for no match.
uint32_t FWLGetRegionInfo(RegionSummary* summary, FlashRegion* list);

// Replaces *mask by the present regions overlapping [start, start + length);
// 10 when one of them is outside the mask given. An empty mask is left as
// it is: 10 for a non-empty range, else 0. 3 before FWLInit.
uint32_t FWLGetRegionsInArea(uint32_t* mask, uint32_t start, uint32_t length);

// Display name of a single region identifier (flags only matter for the
// bootloader); null for anything that names no single region.
const WCHAR* FWLGetRegionName(uint32_t id);

// Back to the start-up table: identifiers only.
void RegionTableReset();
