// Reading the flash for the library's own look-ups (region scan, image size).
#pragma once

#include <cstdint>

// True when the flash layer is up. Look-ups made before FWLInit must fail
// rather than start the layer behind the library's back.
bool FlashReady();

// Takes the flash lock for a group of reads; false when the layer is down or
// the lock cannot be had. Pair with FlashUnlock.
bool FlashLockForReads();
// How often FlashLockForReads found the layer up but could not take the
// lock: a look-up compares it before and after to tell "not there" from
// "could not look".
uint32_t FlashReadLockFailures();

// Reads `length` bytes at a flash offset through the Read slot, with the lock
// held by the caller. False for a range past 4 GB or a failed read.
bool FlashReadAt(uint32_t* destination, uint64_t offset, uint32_t length);
