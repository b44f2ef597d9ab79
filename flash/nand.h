// The NAND driver of the PXA3xx modules, as the flash access layer sees it.
#pragma once

#include "flash/flash_layer.h"

// 1 when the controller, the chip and the bad-block table are ready, else 0
// with the cause in FlashError.
uint32_t NandInit();
void NandFillOps(FlashOpsTable* ops);
