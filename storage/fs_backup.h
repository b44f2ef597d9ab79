// Saving the flash disk's file system as a file-system stream into an image
// file, after the BIN part of a backup.
#pragma once

#include <cstdint>

#include "platform/types.h"

// Appends the stream at the file's current position. FWL_OK or a result code.
//
// Not built yet: the stream writer comes later. Until then it writes nothing
// and fails with FWL_ERR_FS_RESTORE, so a backup that includes the File
// System is never reported as complete.
uint32_t BackupFileSystem(HANDLE file);
