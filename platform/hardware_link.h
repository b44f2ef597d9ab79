// The attached module's hardware (processor, bus and device models), opened
// on first use. Platform-internal: the program reaches it only through the
// memory, processor and kernel calls.
#pragma once

#include "module/hardware.h"

// Null when no module is attached. A device that cannot be opened is reported
// once on standard error and left off the bus, so the program sees an open
// bus there and fails the way it would on a module with a dead chip.
ModuleHardware* PlatformHardware();

// Closes the hardware; the next PlatformHardware opens that of whatever
// module is attached then. Runs on detach.
void PlatformHardwareReset();
