// The NAND board's OS driver, as far as the virtual module needs it: at
// module start it builds the shared block map from the list page; afterwards it gives the module's OS (persistent
// registry, flash disk, storage manager) the same logical flash the update
// program sees, through the chip and the shared map (docs/nand-os.md).
#pragma once

#include <string>

#include "module/module_dir.h"
#include "module/module_flash.h"
#include "module/nand_block_map.h"

struct NandModel;
struct NandOsFlash;

// The driver's start when the module comes up (the controller's set-up is
// the hardware's, NandModelOsDriverSetUp): with [nand] os_driver on and no
// map built this boot, the shared map is built from the list page, under the
// flash lock. True when there was nothing to do; false when the map could
// not be built (a list page without header), so that the next start tries
// again.
bool NandOsStart(const Module& module, NandModel* model, std::string* error);

constexpr char kNandListUnusable[] = "the NAND chip's bad-block list (physical page 63) is unreadable or has no header";

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
