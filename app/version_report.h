// The Version Info report: versions and build dates of the bootloaders in
// flash and of the running OS image, in one message box.
#pragma once

#include "platform/ui/window.h"

void ShowVersionReport(HWND dialog);
