// Restoring a sector-level stream: runs of logical sectors written back into
// the formatted store as they were saved.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "storage/fs_stream_header.h"
#include "storage/fs_stream_plan.h"
#include "storage/fs_target.h"

// Walks the stream's chunk headers from the image file's current position
// (the stream's data area) without writing anything, and goes back there.
// FWL_OK; 6 (with the reason named) for sectors of another size than this
// module's store has, or a chunk cut short, not in whole sectors, longer
// than what is left of the stream or reaching past this module's store;
// 9 when the work buffer holds no sector. `plan` counts the sectors.
uint32_t CheckSectorStream(const FsStreamHeader& header, const FsTarget& target, FsStreamPlan* plan);

// Writes every chunk's sectors at their logical sector numbers, as many
// whole sectors per request as the work buffer holds. `address` names the
// stream in the progress reports. FWL_OK, 2, 6 (cut short) or 19.
uint32_t RestoreSectorStream(HANDLE store, const FsStreamHeader& header, uint32_t address);
