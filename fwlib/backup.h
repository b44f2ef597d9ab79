// Saving flash regions into a new image file that FWLSetBinFile and
// FWLDoUpdate accept: the regions as BIN records, the File System region as
// a file-system stream after them.
#pragma once

#include <cstdint>

#include "fwlib/callbacks.h"
#include "platform/types.h"

// Writes the regions of `mask` (REGION_ALL: every present region) to a new
// file at `path`, replacing any file of that name. `summary` is told the
// selection before anything is written, `sectionStart` (base, used, 0) before
// each record, `bytesProgress` after each piece. 0, or 2, 3, 5, 8, 9, 11, 12,
// 14, 20 (a backup of everything while the flash disk is away), or the
// file-system backup's code. The file is written under a temporary name in
// the target's folder and replaces the target only once complete: a failed
// backup leaves the target as it was and no partial file. No file stays
// open and the work buffer is freed.
uint32_t FWLBackupToFile(const WCHAR* path, uint32_t mask, SummaryFn summary, SectionStartFn sectionStart,
                         BytesProgressFn bytesProgress);
