// Restoring a file-level stream: each recorded partition created afresh in
// the formatted store, then its folders and files written through the
// file calls, with their attributes and times.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "storage/fs_stream_header.h"

// Walks the stream's records from the image file's current position without
// writing anything, and goes back there. FWL_OK; 6 for a record or content
// cut short or past the stream's end, a volume name or path not terminated
// inside its field, or a path with an empty, "." or ".." component.
uint32_t CheckFileStream(const FsStreamHeader& header);

// FWL_OK, 2, 6, 19 (a folder or file that cannot be made) or 21 (a
// partition that cannot be made).
uint32_t RestoreFileStream(HANDLE store, const FsStreamHeader& header, uint32_t address);
