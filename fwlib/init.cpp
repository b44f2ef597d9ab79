#include "fwlib/init.h"

#include "flash/bsp.h"
#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/region_scan.h"
#include "fwlib/results.h"

namespace {

// The module's hardware version as (major << 16) | minor; false when the
// board does not tell.
bool HardwareVersion(int32_t* version) {
  uint32_t words[BSP_HW_VERSION_BYTES / 4] = {};
  if (BspGetInfo(BSP_INFO_HW_VERSION, words, sizeof words) == 0) return false;
  uint32_t major = words[0] & BSP_HW_VERSION_MAJOR_MASK;
  uint32_t minor = words[0] >> BSP_HW_VERSION_MINOR_SHIFT;
  *version = static_cast<int32_t>(major << FWL_HW_VERSION_MAJOR_SHIFT | minor);
  return true;
}

uint32_t StartupCheck() {
  FwlLibraryState* state = FwlState();
  if (state->startupResult != FWL_STARTUP_NOT_TRIED) return state->startupResult;
  // A refused hardware version returns straight away and leaves this code
  // cached.
  state->startupResult = FWL_ERR_HW_VERSION;
  int32_t version = 0;
  if (CpuPartCode() == FWL_HW_CHECKED_PART_CODE && HardwareVersion(&version) && version < FWL_MIN_HW_VERSION) {
    return FWL_ERR_HW_VERSION;
  }
  state->startupResult = FlashInit() == FLASH_TYPE_NONE ? FWL_ERR_FLASH_INIT : FWL_OK;
  // A flash that never answered says which wait ran out, for the error line.
  if (state->startupResult != FWL_OK && FlashError == FLASH_ERR_TIMEOUT && FlashNoAnswer()[0] != 0) {
    RefusalSet(u"the flash did not answer: waited for %s", FlashNoAnswer());
  }
  return state->startupResult;
}

}  // namespace

uint32_t FWLInit() {
  FwlLibraryState* state = FwlState();
  if (state->initialised) return FWL_OK;
  uint32_t result = StartupCheck();
  if (result != FWL_OK) return result;
  FWLScanRegions(REGION_SCAN_BITS);
  state->initialised = true;
  return FWL_OK;
}
