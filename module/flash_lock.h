// The module's flash lock ("OnModuleFlash"): the OS's own flash access and the
// program take it around every access to the flash, so that a program or
// erase sequence of one never interleaves with another's.
#pragma once

#include <string>

#include "module/module_dir.h"

struct NamedMutex;

// Waits for the lock (an image update may hold it for a while). An owner
// that died holding it is no obstacle: every flash disk step leaves a state
// a mount can read. Null with `error` set when it cannot be had.
NamedMutex* ModuleFlashLock(const Module& module, std::string* error);
void ModuleFlashUnlock(NamedMutex* held);
