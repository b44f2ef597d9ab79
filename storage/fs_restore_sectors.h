// Restoring a sector-level stream: runs of logical sectors written back into
// the formatted store as they were saved.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "storage/fs_stream_header.h"

// Walks the stream's chunk headers from the image file's current position
// (the stream's data area) without writing anything, and goes back there.
// FWL_OK; 6 for a chunk cut short, not in whole sectors, longer than what is
// left of the stream or reaching past the store the header describes, or a
// sector size of 0; 9 when the work buffer holds no sector.
uint32_t CheckSectorStream(const FsStreamHeader& header);

// Writes every chunk's sectors at their logical sector numbers, as many
// whole sectors per request as the work buffer holds. `address` names the
// stream in the progress reports. FWL_OK, 2, 6 (cut short) or 19.
uint32_t RestoreSectorStream(HANDLE store, const FsStreamHeader& header, uint32_t address);
