// The calling thread's last-error value, as every platform call sets it.
#pragma once

#include "platform/types.h"

DWORD GetLastError();
void SetLastError(DWORD error);
