// Reading the open image file of the library state: whole reads, positions
// and sizes in 64 bits, so that lengths taken from the file cannot wrap.
//
// While the file is mapped, the same calls read it through read-only views
// of the file instead of the handle: the data is summed where the file's
// pages already are, without a copy, and without a platform call between
// views.
#pragma once

#include <cstdint>

// Reads up to `count` bytes at the file position; the bytes that arrived
// (fewer at the end of the file or on a failed read).
uint32_t ImageFileRead(void* buffer, uint32_t count);
// True when exactly `count` bytes arrived.
bool ImageFileReadAll(void* buffer, uint32_t count);
bool ImageFileSeek(uint64_t position);
// The file position; false when the platform cannot tell.
bool ImageFilePosition(uint64_t* position);
bool ImageFileSize(uint64_t* size);

// Up to `count` bytes at the file position, moved past: `*data` points into
// a view of the mapped file, or at `buffer` where they were read into it.
// Fewer than `count` only where a view ends, and then a multiple of `align`.
// 0 when the file ends before `count` bytes or a read fails.
uint32_t ImageFileBorrow(uint8_t* buffer, uint32_t count, uint32_t align, const uint8_t** data);

// Reads through views from here on, at the handle's position. False, with
// reads left on the handle, for a file that cannot be mapped (an empty one,
// one on a mounted volume).
bool ImageFileMap();
// Back to the handle, which is moved to where the mapped reads got to. A
// view that cannot be had on the way does the same.
void ImageFileUnmap();
