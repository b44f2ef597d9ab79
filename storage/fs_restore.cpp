#include "storage/fs_restore.h"

#include "fwlib/results.h"

uint32_t RestoreFileSystem() { return FWL_ERR_FS_RESTORE; }
