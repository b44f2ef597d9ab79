#include "tests/support/program_layers.h"

#include "cpld/cpld.h"
#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nand.h"
#include "flash/nor.h"
#include "fwlib/library_state.h"
#include "storage/flash_disk_driver.h"
#include "storage/store_access.h"

void ResetProgramLayersForTests() {
  FWLResetForTests();
  FlashDiskDriverResetForTests();
  StoreAccessResetForTests();
  FlashLayerResetForTests();
  NorResetForTests();
  NandResetForTests();
  CpldResetForTests();
  HardwareReset();
}
