// What the platform's other calls need of a file handle of the object store.
#pragma once

#include "platform/types.h"

// The host descriptor behind a file handle opened with every right in
// `access` (GENERIC_READ ...); it stays the handle's. -1 with the last error
// set otherwise: ERROR_INVALID_HANDLE for no file handle, ERROR_NOT_SUPPORTED
// for a file of a mounted volume (it has no host file), ERROR_ACCESS_DENIED
// for a handle without the rights.
int FileHostDescriptor(HANDLE file, DWORD access);
