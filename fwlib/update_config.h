// The board's configuration items an update of the Config Block must keep:
// items 0, 8 and 12 are read before the flash is erased and written back
// afterwards, whatever became of the update.
#pragma once

#include <cstdint>

// Reads the three items and keeps each with the bytes its read delivered.
void UpdateConfigSave();
// Writes back, in the order 0, 8, 12, each item whose read delivered bytes,
// then forgets them. False when the board refused an item or does not hold
// it as saved afterwards. Nothing happens (true) without a save.
bool UpdateConfigRestore();

void UpdateConfigResetForTests();
