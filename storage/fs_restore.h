// Restoring the file-system streams of an image file into the flash disk's
// store, after the update has written the BIN part.
#pragma once

#include <cstdint>

#include "storage/fs_stream_plan.h"
#include "storage/fs_target.h"

// Restores every stream from the image file's current position on (right
// after the BIN part, or the start of a file without one) and leaves the
// position after the last stream. For each: the phase report, the flash
// disk driver loaded with the stream's geometry, the store formatted, then
// the stream's sectors or partitions and files written back; the store is
// formatted afresh for each, so the last stream's contents are what stays.
// FWL_OK, or 2, 6, 7, 9, 10, 19, 20, 21. Every stream is judged again, as
// CheckFileSystemStreams judged it (which must have run first, before the
// flash disk went offline), before the store is touched.
uint32_t RestoreFileSystem();

// Walks every stream from the image file's current position on, as the
// restore will, without touching the store, and goes back there: so that an
// image is judged whole before anything is erased. Each stream is judged
// against this module's flash disk as `target` read it (FsTargetRead, while
// the flash disk is online), never against its own header: the store it lays must be this module's File System region with
// this module's geometry, its sectors this store's, its partitions and files
// those the store's volumes can take. FWL_OK, or 6, 7, 9 or 10 with the
// reason named (fwlib/refusal.h).
uint32_t CheckFileSystemStreams(const FsTarget& target);

// What the last successful check found; null when none succeeded.
const FsPlan* FileSystemStreamsPlan();

void FileSystemStreamsResetForTests();
