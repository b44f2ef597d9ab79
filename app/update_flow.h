// The image update: choose a BIN image file, validate it, confirm the regions
// it overwrites, write it with progress, then offer the registry clear and
// the restart.
#pragma once

#include "platform/types.h"

// `owner` is the main dialog (interactive, on a thread of its own) or null
// (command line). Asks nothing when the shell runs unattended; errors are
// always shown. 1 when the image was written, else 0.
int RunImageUpdate(HWND owner);

// Makes `path`'s folder, with its trailing backslash, the start of the next
// file dialog.
void RememberDirectoryOf(const WCHAR* path);
