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
