#include "fwlib/regions.h"

#include <algorithm>

#include "fwlib/library_state.h"
#include "fwlib/results.h"

namespace {

// Where each region lies unless the module tells otherwise. A length of 0 is
// worked out from the neighbours after sorting.
constexpr FlashRegion kDefaults[REGION_COUNT] = {
    {REGION_BOOTLOADER | REGION_ABSENT, 0x00000000, 0x00040000, 0},
    {REGION_CONFIG_BLOCK | REGION_ABSENT, 0x00040000, 0x00040000, 0},
    {REGION_OS_IMAGE | REGION_ABSENT, 0x00080000, 0, 0},
    {REGION_REGISTRY | REGION_ABSENT, 0x01400000, 0x00080000, 0},
    {REGION_FILE_SYSTEM | REGION_ABSENT, 0x01480000, 0, 0},
    {REGION_SECOND_BOOTLOADER | REGION_ABSENT, 0x00000000, 0, 0},
};

struct RegionName {
  uint32_t id;
  const WCHAR* name;
};

constexpr RegionName kNames[] = {
    {REGION_NONE, u"No Region"},
    {REGION_CONFIG_BLOCK, u"Config Block"},
    {REGION_OS_IMAGE, u"OS Image"},
    {REGION_REGISTRY, u"Registry"},
    {REGION_FILE_SYSTEM, u"File System"},
    {REGION_SECOND_BOOTLOADER, u"Second Bootloader"},
    {REGION_CPLD_FIRMWARE, u"CPLD Firmware"},
};

// Until the first scan the table holds only the identifiers.
struct RegionTableState {
  FlashRegion table[REGION_TABLE_ENTRIES] = {
      {REGION_BOOTLOADER, 0, 0, 0},  {REGION_CONFIG_BLOCK, 0, 0, 0}, {REGION_OS_IMAGE, 0, 0, 0},
      {REGION_REGISTRY, 0, 0, 0},    {REGION_FILE_SYSTEM, 0, 0, 0},  {REGION_SECOND_BOOTLOADER, 0, 0, 0},
      {0, 0, 0, 0},
  };
  size_t fileSystemIndex = 0;
};

RegionTableState g_regions;

bool Present(const FlashRegion& entry) { return entry.id != 0 && (entry.id & REGION_ABSENT) == 0; }

// Ends are compared in 64 bits: bases and lengths come partly from the
// registry and may add up past 4 GB.
uint64_t End(uint32_t base, uint32_t length) { return uint64_t{base} + length; }

}  // namespace

FlashRegion* RegionTable() { return g_regions.table; }

const FlashRegion* RegionDefaults(uint32_t id) {
  for (const FlashRegion& entry : kDefaults) {
    if ((entry.id & id & REGION_ID_BITS) != 0) return &entry;
  }
  return nullptr;
}

size_t RegionFileSystemIndex() { return g_regions.fileSystemIndex; }
void RegionSetFileSystemIndex(size_t index) { g_regions.fileSystemIndex = index; }

uint32_t FWLGetRegionInfo(RegionSummary* summary, FlashRegion* list) {
  if (!FwlState()->initialised) return FWL_ERR_NOT_INITIALISED;
  if (summary == nullptr) return FWL_ERR_NO_REGION;
  uint32_t mask = summary->flags & REGION_ID_BITS;
  RegionSummary found = {0, 0, 0, 0};
  uint64_t end = 0;
  size_t listed = 0;
  for (size_t i = 0; i < REGION_COUNT; i++) {
    const FlashRegion& entry = g_regions.table[i];
    if (!Present(entry) || (entry.id & mask) == 0) continue;
    if (listed == 0 || entry.base < found.start) found.start = entry.base;
    end = std::max(end, End(entry.base, entry.length));
    found.flags |= entry.id;
    found.used += entry.used;
    if (list != nullptr) list[listed] = entry;
    listed++;
  }
  if (listed == 0) return FWL_ERR_NO_REGION;
  if (list != nullptr) list[listed] = FlashRegion{0, 0, 0, 0};
  found.length = static_cast<uint32_t>(std::min<uint64_t>(end - found.start, UINT32_MAX));
  *summary = found;
  return FWL_OK;
}

uint32_t FWLGetRegionsInArea(uint32_t* mask, uint32_t start, uint32_t length) {
  if (!FwlState()->initialised) return FWL_ERR_NOT_INITIALISED;
  if (mask == nullptr) return FWL_ERR_AREA;
  if (*mask == 0) return length != 0 ? FWL_ERR_AREA : FWL_OK;
  uint32_t allowed = *mask & REGION_ID_BITS;
  uint32_t overlapped = 0;
  bool outside = false;
  for (size_t i = 0; i < REGION_COUNT; i++) {
    const FlashRegion& entry = g_regions.table[i];
    if (!Present(entry)) continue;
    if (uint64_t{start} < End(entry.base, entry.length) && uint64_t{entry.base} < End(start, length)) {
      overlapped |= entry.id;
      if ((entry.id & allowed) == 0) outside = true;
    }
  }
  *mask = overlapped;
  return outside ? FWL_ERR_AREA : FWL_OK;
}

const WCHAR* FWLGetRegionName(uint32_t id) {
  uint32_t region = id & REGION_ID_BITS;
  if (region == REGION_BOOTLOADER) {
    return (id & REGION_FIRST_BOOTLOADER) != 0 ? u"First Bootloader" : u"Bootloader";
  }
  for (const RegionName& entry : kNames) {
    if (entry.id == region) return entry.name;
  }
  return nullptr;
}

void RegionTableReset() { g_regions = RegionTableState{}; }
