// Writing the files the library makes (backups and their streams): whole
// writes, 64-bit positions, and headers patched in after their body.
#pragma once

#include <cstdint>

#include "platform/types.h"

// True when all `count` bytes were written.
bool FileWriteAll(HANDLE file, const void* data, uint32_t count);
// The current position, in 64 bits so that a seek back never wraps.
bool FilePosition(HANDLE file, uint64_t* position);
// Rewrites `count` bytes at `position`, then moves to the end of the file.
bool FilePatch(HANDLE file, uint64_t position, const void* data, uint32_t count);

// Numbers go into the library's files little-endian, whatever the host.
inline void StoreLe32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
// `count` words (at most 4), little-endian.
bool FileWriteLe32(HANDLE file, const uint32_t* words, uint32_t count);
bool FilePatchLe32(HANDLE file, uint64_t position, const uint32_t* words, uint32_t count);
