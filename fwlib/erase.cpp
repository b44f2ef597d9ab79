#include "fwlib/erase.h"

#include "flash/flash_layer.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"

uint32_t FWLEraseRegions(uint32_t mask, EraseProgressFn eraseProgress) {
  if (!FwlState()->initialised) return FWL_ERR_NOT_INITIALISED;
  RegionSummary summary = {mask, 0, 0, 0};
  FlashRegion list[REGION_TABLE_ENTRIES] = {};
  uint32_t result = FWLGetRegionInfo(&summary, list);
  if (result != FWL_OK) return result;
  // The module's own flash driver may be writing the same chips.
  if (FlashLock(FLASH_WAIT_FOREVER) == 0) return FWL_ERR_FLASH_ERASE;
  for (size_t i = 0; i < REGION_COUNT && list[i].id != 0; i++) {
    const FlashRegion& region = list[i];
    FlashSetProgress(eraseProgress, ERASE_PROGRESS_STEP);
    if (FlashOps.Erase(region.base, region.length) == 0) {
      result = FWL_ERR_FLASH_ERASE;
      break;
    }
    // The layer asks before each block only: the region's end is reported
    // here, as the update does after its erase, so a display reaches it.
    if (eraseProgress != nullptr && eraseProgress(region.length, region.length) == 0) {
      result = FWL_ERR_FLASH_ERASE;
      break;
    }
  }
  FlashUnlock();
  // The hook belongs to this call; a later erase must not report into it.
  FlashSetProgress(nullptr, 0);
  return result;
}
