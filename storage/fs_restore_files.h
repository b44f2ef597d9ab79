// Restoring a file-level stream: each recorded partition created afresh in
// the formatted store, then its folders and files written through the
// file calls, with their attributes and times.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "storage/fs_stream_header.h"
#include "storage/fs_stream_plan.h"
#include "storage/fs_target.h"

// Walks the stream's records from the image file's current position without
// writing anything, and goes back there, judging them against this module's
// flash disk: at most four partitions, each under the volume name the store
// will mount it as and inside the room the formatted store has; every path
// inside its volume, its folder made before it, no path made twice or as a
// file and a folder, names a FAT volume holds; every byte of the stream
// taken by a record. FWL_OK; 6 with the reason named (fwlib/refusal.h), 9
// when memory runs out. `plan` counts partitions, folders, files and bytes.
uint32_t CheckFileStream(const FsStreamHeader& header, const FsTarget& target, FsStreamPlan* plan);

// FWL_OK, 2, 6, 19 (a folder or file that cannot be made) or 21 (a
// partition that cannot be made).
uint32_t RestoreFileStream(HANDLE store, const FsStreamHeader& header, uint32_t address);
