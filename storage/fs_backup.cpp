#include "storage/fs_backup.h"

#include "fwlib/results.h"

uint32_t BackupFileSystem(HANDLE) { return FWL_ERR_FS_RESTORE; }
