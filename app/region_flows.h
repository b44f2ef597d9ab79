// The two flows of the backup dialog, each run on a thread of its own with
// the dialog as `owner`: erase the selected regions, or save them into an
// image file. Both read the selection the dialog keeps in the shell state
// and return 1 on success, 0 otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/window.h"

int RunRegionErase(HWND owner);
int RunRegionBackup(HWND owner);

// The backup flow's message for a failed FWLBackupToFile, with `path` in it.
void FormatBackupFailure(uint32_t result, const WCHAR* path, WCHAR* text, size_t capacity);
