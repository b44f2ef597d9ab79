// Restoring the file-system streams of an image file into the flash disk's
// store, after the update has written the BIN part.
#pragma once

#include <cstdint>

// Restores every stream from the image file's current position on (right
// after the BIN part, or the start of a file without one) and leaves the
// position after the last stream. For each: the phase report, the flash
// disk driver loaded with the stream's geometry, the store formatted, then
// the stream's sectors or partitions and files written back; the store is
// formatted afresh for each, so the last stream's contents are what stays.
// FWL_OK, or 2, 6, 7, 9, 10, 19, 20, 21. A stream that is damaged (cut
// short, chunks or records that do not fit, a region outside the flash) is
// refused with 6 before the store is touched; one whose region differs from
// the first stream's, or reaches into the first bootloader of a two-stage
// module, with 10.
uint32_t RestoreFileSystem();

// Walks every stream from the image file's current position on, as the
// restore will, without touching the store, and goes back there: so that an
// update refuses a damaged stream before it erases anything. FWL_OK, or 6,
// 7, 9 or 10 as the restore would answer.
uint32_t CheckFileSystemStreams();
