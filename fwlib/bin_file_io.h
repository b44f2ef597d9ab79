// Reading the open image file of the library state: whole reads, positions
// and sizes in 64 bits, so that lengths taken from the file cannot wrap.
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
