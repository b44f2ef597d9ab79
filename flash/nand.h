// The NAND driver of the PXA3xx modules, as the flash access layer sees it:
// byte ranges of the library turned into page and block commands through
// the bad-block map, the controller left as it was found after each one.
#pragma once

#include "flash/flash_layer.h"

// 1 when the controller, the chip and the bad-block table are ready, else 0
// with the cause in FlashError. Called with the flash lock held.
uint32_t NandInit();
void NandFillOps(FlashOpsTable* ops);

// The chip class NandInit found: 1, 2 or 3, 0 before.
uint32_t NandChipClass();

// The whole driver back to the state at process start: controller window and
// shared map released (tests only).
void NandResetForTests();
