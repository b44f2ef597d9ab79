// The update library's process-wide state. It lives until the process ends;
// there is no shut-down operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

// Units of the store device name buffer (terminator included), as the
// storage manager reports a store's device name.
constexpr size_t STORE_DEVICE_NAME_CHARS = 32;

// Cached start-up result before the first FWLInit attempt.
constexpr uint32_t FWL_STARTUP_NOT_TRIED = 1;

// Content bits of an image description.
constexpr uint32_t IMAGE_CONTENT_BIN = 2;
constexpr uint32_t IMAGE_CONTENT_FS_STREAM = 4;
constexpr uint32_t IMAGE_CONTENT_CPLD = 8;

// What FWLSetBinFile found in the open image file, for FWLDoUpdate.
struct ImageDescription {
  uint32_t mappedStart;   // flash offset of the image's first byte
  uint32_t imageLength;
  uint32_t addressShift;  // added to record addresses to make flash offsets
  uint32_t dataLength;    // sum of the BIN record lengths
  uint32_t contents;      // IMAGE_CONTENT_* bits
  bool refuseUpdate;      // the image would overwrite the first bootloader
  uint32_t linkedStart;   // image start as the file gives it; records lie in [linkedStart, + imageLength)
  uint32_t binPartEnd;    // file offset after the end record; 0 without a BIN part
};

struct FwlLibraryState {
  bool initialised = false;
  uint32_t startupResult = FWL_STARTUP_NOT_TRIED;
  HANDLE imageFile = INVALID_HANDLE_VALUE;
  ImageDescription image = {};
  // Device name of the store "Internal Flash"; empty when unknown.
  WCHAR storeDeviceName[STORE_DEVICE_NAME_CHARS] = {};
  // Bytes in use on the file system's partitions, from the last scan.
  uint32_t fsBytesInUse = 0;
  // The last scan found the flash disk configured but its store not there
  // (an update took it away until the module restarts).
  bool fsStoreMissing = false;
  // Regions the last scan of each could not read for want of the flash lock.
  uint32_t unreadRegions = 0;
};

FwlLibraryState* FwlState();

// FWLCloseFile's result when the platform could not close the file.
constexpr uint32_t FWL_CLOSE_FAILED = 1;

// Closes the open image file, if any, and forgets it: FWL_CLOSE_FAILED when
// the platform's close failed, else 0 (also when no file was open).
uint32_t FWLCloseFile();

// Everything the library keeps back to process start: state, region table,
// callback slots and work buffer (freed). An open image file is closed. For
// tests.
void FWLResetForTests();
