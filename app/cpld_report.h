// The CPLDVersion report: the version word the CPLD's firmware leaves in its
// user code, in one message box, after the user has confirmed that nothing
// drives the JTAG pins from outside.
#pragma once

#include "platform/ui/window.h"

void ShowCpldVersion(HWND dialog);
