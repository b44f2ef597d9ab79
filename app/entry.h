// The program's entry, as the module's OS calls it: the instance handle and
// the writable command line without the program name.
#pragma once

#include "platform/types.h"

// Returns the process exit code.
int ProgramEntry(HINSTANCE instance, LPWSTR commandLine);
