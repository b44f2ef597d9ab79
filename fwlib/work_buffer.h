// The one heap block the library moves all file and flash data through.
#pragma once

#include <cstdint>

constexpr uint32_t WORK_BUFFER_BYTES = 0x200000;  // what is tried first: 2 MB

// Allocates the buffer unless it exists: 2 MB first, then half as much on
// each failure down to 1 byte. False when nothing could be had (size 0).
bool WorkBufferAcquire();
// True while a buffer is allocated.
bool WorkBufferHeld();
// The buffer (null when none) and its size in bytes. The block is
// malloc-aligned, so it can be used as 32-bit words.
uint8_t* WorkBufferData();
uint32_t* WorkBufferWords();
uint32_t WorkBufferSize();
void WorkBufferFree();

// Test hook: allocations larger than `maxBytes` fail from now on.
constexpr uint32_t WORK_BUFFER_NO_LIMIT = UINT32_MAX;
void WorkBufferLimitForTests(uint32_t maxBytes);
