// What the module's own flash driver meets: whether another process on the
// same module gets the flash lock.
#pragma once

#include <cstdint>

// True when a forked process takes (and gives back) "OnModuleFlash" within
// `timeoutMs`.
bool OtherProcessTakesFlashLock(uint32_t timeoutMs);
