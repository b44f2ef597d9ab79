// Runs the parsed commands, or the main dialog when there are none.
#pragma once

#include "platform/types.h"

// Initialises the library, then runs the command table in order or shows the
// main dialog. 1 on success, 0 on failure.
int RunCommands(HINSTANCE instance);
