// The NOR driver of the PXA270 module: a pair of 16-bit chips with the Intel
// command set side by side on the 32-bit bus at physical address 0.
#pragma once

#include <cstdint>

#include "flash/flash_layer.h"

// Identifies and maps the pair and unlocks it above 0x40000. 1 on success, 0
// when no Intel pair answers or the flash cannot be mapped. Called with the
// flash lock held.
uint32_t NorInit();
void NorFillOps(FlashOpsTable* ops);

// 1 or 0 each.
uint32_t NorUnlockBlock(uint32_t offset);
uint32_t NorEraseBlock(uint32_t offset);

// The chip class (0 to 6) found by NorInit; it decides the block layout.
uint32_t NorChipClass();

void NorResetForTests();
