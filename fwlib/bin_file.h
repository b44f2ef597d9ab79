// Opening an image file for an update: every part is walked and every
// checksum checked, the BIN part's landing place in the flash worked out, and
// the file left open and described for FWLDoUpdate.
#pragma once

#include <cstdint>

#include "fwlib/callbacks.h"
#include "fwlib/regions.h"
#include "platform/types.h"

// The summary start of a file without a BIN part.
constexpr uint32_t IMAGE_NO_BIN_START = 0xFFFFFFFF;

// Opens `path` and validates it; with `verify` 0 the data is skipped and no
// checksum is checked. On FWL_OK the file stays open at offset 0 and
// `summary` (when given) holds the regions found, the range and the bytes
// used. Otherwise 2, 3, 5, 6, 7, 9 or 17, with the file closed and the work
// buffer freed.
uint32_t FWLSetBinFile(const WCHAR* path, RegionSummary* summary, ValidateProgressFn progress, int verify);

// FWLSetBinFile on a file already open for reading (the host tools' files),
// which it takes over: closed on failure, kept open on FWL_OK. `path` names
// it in the refusal reasons and tells where it lies.
uint32_t FWLSetBinHandle(HANDLE file, const WCHAR* path, RegionSummary* summary, ValidateProgressFn progress,
                         int verify);
