// The two flows of the backup dialog, each run on a thread of its own with
// the dialog as `owner`: erase the selected regions, or save them into an
// image file. Both read the selection the dialog keeps in the shell state
// and return 1 on success, 0 otherwise.
#pragma once

#include "platform/ui/window.h"

int RunRegionErase(HWND owner);
int RunRegionBackup(HWND owner);
