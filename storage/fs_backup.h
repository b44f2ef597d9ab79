// Saving the flash disk's file system as a file-system stream into an image
// file, after the BIN part of a backup.
#pragma once

#include <cstdint>

#include "platform/types.h"

// Appends one sector-level stream of the store "Internal Flash" at the
// file's current position and leaves the file at its end. FWL_OK,
// FWL_ERR_USER_ABORT, FWL_ERR_WRITE_FILE, FWL_ERR_NO_MEMORY or
// FWL_ERR_FS_RESTORE; the last also when the store held fewer mapped sectors
// than the region scan counted (the stream is then complete but short).
uint32_t BackupFileSystem(HANDLE file);
