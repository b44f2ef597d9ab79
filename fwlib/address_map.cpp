#include "fwlib/address_map.h"

#include "flash/bsp.h"
#include "flash/flash_layer.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"

namespace {

bool Within(uint32_t value, uint32_t first, uint32_t last) { return value >= first && value <= last; }

// The first bootloader's range on a module that boots in two stages; false
// on any other.
bool FirstBootloaderRange(uint64_t* start, uint64_t* end) {
  FWLScanRegions(REGION_BOOTLOADER);
  RegionSummary bootloader = {REGION_BOOTLOADER, 0, 0, 0};
  if (FWLGetRegionInfo(&bootloader, nullptr) != FWL_OK || (bootloader.flags & REGION_FIRST_BOOTLOADER) == 0) {
    return false;
  }
  *start = bootloader.start;
  *end = uint64_t{bootloader.start} + bootloader.length;
  return true;
}

}  // namespace

bool BinAddressShift(uint32_t imageStart, uint32_t* shift) {
  if (imageStart < BIN_FLASH_OFFSET_LIMIT) {
    *shift = 0;
    return true;
  }
  if (Within(imageStart, BIN_BOOT_WINDOW_FIRST, BIN_BOOT_WINDOW_LAST)) {
    *shift = 0u - imageStart;
    return true;
  }
  if (Within(imageStart, BIN_CACHED_WINDOW_FIRST, BIN_CACHED_WINDOW_LAST) ||
      Within(imageStart, BIN_UNCACHED_WINDOW_FIRST, BIN_UNCACHED_WINDOW_LAST)) {
    BspFlashLayout layout;
    uint32_t osBase = BspGetInfo(BSP_INFO_FLASH_LAYOUT, &layout, sizeof layout) != 0 ? layout.osImageBase
                                                                                     : BIN_DEFAULT_OS_BASE;
    *shift = osBase - imageStart;
    return true;
  }
  return false;
}

void ProtectFirstBootloader(uint32_t imageStart, ImagePlacement* placement) {
  uint64_t start = 0, end = 0;
  if (!FirstBootloaderRange(&start, &end) || placement->mappedStart >= end) return;
  placement->firstBootloader = true;
  // Only a bootloader build suits either stage. A file of flash offsets (a
  // backup of the first bootloader, say) or an OS image belongs exactly
  // where it maps; moved, it would overwrite the second bootloader.
  BspFlashLayout layout;
  if (Within(imageStart, BIN_BOOT_WINDOW_FIRST, BIN_BOOT_WINDOW_LAST) &&
      BspGetInfo(BSP_INFO_FLASH_LAYOUT, &layout, sizeof layout) != 0) {
    placement->mappedStart += layout.secondBootloaderBase;
    placement->shift += layout.secondBootloaderBase;
  }
  if (placement->mappedStart < end) placement->refuseUpdate = true;
}

bool ReachesFirstBootloader(uint32_t start, uint32_t length) {
  uint64_t first = 0, end = 0;
  return length != 0 && FirstBootloaderRange(&first, &end) && start < end && uint64_t{start} + length > first;
}

bool RecordInImage(uint32_t imageStart, uint32_t imageLength, uint32_t address, uint32_t length) {
  return address >= imageStart && uint64_t{address} + length <= uint64_t{imageStart} + imageLength;
}

bool MappedRangeInFlash(uint32_t mappedStart, uint32_t imageLength) {
  return uint64_t{mappedStart} + imageLength <= FlashSize;
}
