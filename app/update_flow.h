// The image update: choose a BIN image file, validate it, confirm the regions
// it overwrites, write it with progress, then offer the registry clear and
// the restart.
#pragma once

#include "fwlib/regions.h"
#include "platform/types.h"

// `owner` is the main dialog (interactive, on a thread of its own) or null
// (command line). Asks nothing when the shell runs unattended; errors are
// always shown. 1 when the image was written, else 0.
int RunImageUpdate(HWND owner);

// What the update would overwrite with the image FWLSetBinFile described in
// `summary`: true with `covered` (region bits and flags, the CPLD's
// included), or false with `refusal` the message the update shows (null: the
// area query refused the image, and the update says nothing).
bool ImageCoverage(const RegionSummary& summary, uint32_t* covered, const WCHAR** refusal);

// The update's message for a failed FWLSetBinFile, with `path` in it.
void FormatSetBinFileFailure(uint32_t result, const WCHAR* path, WCHAR* text, size_t capacity);

// Makes `path`'s folder, with its trailing backslash, the start of the next
// file dialog.
void RememberDirectoryOf(const WCHAR* path);
