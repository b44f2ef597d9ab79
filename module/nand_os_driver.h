// The NAND board's OS driver, as far as the virtual module needs it: at
// module start it sets the controller up and builds the shared block map
// from the list page; afterwards it gives the module's OS (persistent
// registry, flash disk, storage manager) the same logical flash the update
// program sees, through the chip and the shared map (docs/nand-os.md).
#pragma once

#include <string>

#include "module/module_dir.h"
#include "module/module_flash.h"
#include "module/nand_block_map.h"

struct NandModel;
struct NandOsFlash;

// Controller registers the driver sets up, and what it writes there: the
// chip's own control bits with bits 0-11 set, and the bus timings of the
// slowest supported chip at the faster of the two controller clocks, which
// suit every chip at either clock.
constexpr uint32_t kNandControlRegister = 0x00;
constexpr uint32_t kNandTiming0Register = 0x04;
constexpr uint32_t kNandTiming1Register = 0x0C;
constexpr uint32_t kNandControlAlwaysSet = 0xFFF;
constexpr uint32_t kNandOsTiming0 = 0x003B0A0B;
constexpr uint32_t kNandOsTiming1 = 0x15660092;

// The driver's start when the module comes up: with [nand] os_driver on and
// no map built this boot, the controller is set up and the shared map built
// from the list page, under the flash lock. True when there was nothing to
// do; false when the map could not be built (a list page without header),
// so that the next start tries again.
bool NandOsStart(const Module& module, NandModel* model, std::string* error);

// The list page as the driver reads it: the whole page, without correction.
bool NandOsReadListPage(NandModel* model, uint8_t list[kNandPageBytes]);

// The OS's own logical flash over the shared map (made, unbuilt, when no
// process has made it). Every operation fails while the map is not built,
// as on a module whose driver did not start.
NandOsFlash* NandOsFlashOpen(const Module& module, NandModel* model, std::string* error);
// For looking at a module and for the factory: the shared map when one is
// built this boot, else a map of this process built from the list page, so
// looking changes nothing. Null, with the reason, when the list page has no
// header.
NandOsFlash* NandOsFlashOpenView(const Module& module, NandModel* model, std::string* error);
void NandOsFlashClose(NandOsFlash* flash);

// The operations. A restart through them (ModuleFlashOps::restart) powers
// the controller off and forgets the shared map, for the next start to set
// up and build again; the flash then reads through the list page, as the
// module's boot reads it.
ModuleFlash NandOsFlashAccess(NandOsFlash* flash);
// The map the operations use.
const NandBlockMap& NandOsFlashMap(const NandOsFlash* flash);
