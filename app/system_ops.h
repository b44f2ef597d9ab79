// The registry and restart operations the main dialog, the command line and
// the update flow share.
#pragma once

#include "platform/types.h"

// Writes the registry to persistent storage; 1 on success. Reports the
// outcome unless the shell runs unattended.
int SaveRegistry(HWND owner);

// Asks the platform to clear the persistent registry; 1 when it accepted.
// Reports the outcome unless the shell runs unattended.
int ClearRegistry(HWND owner);

// The registry-clear request alone, without messages.
bool RequestRegistryClear();

// Asks for a warm or cold restart; when it comes back the module did not
// restart, which is logged, and the result is 0.
int ResetSystem(int cold);
