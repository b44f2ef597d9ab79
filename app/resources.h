// The shell's dialog templates, made findable for the program's instance as
// the module's loader finds them in the program's resources.
#pragma once

#include "platform/types.h"

void RegisterShellTemplates(HINSTANCE instance);
