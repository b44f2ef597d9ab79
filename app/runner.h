// Runs the parsed commands, or the main dialog when there are none.
#pragma once

#include "platform/types.h"

// Initialises the library, then runs the command table in order or shows the
// main dialog. 1 on success, 0 on failure.
int RunCommands(HINSTANCE instance);

// Says on standard error what in the lowered command line `line` was not
// understood (where the table's notUnderstood points), with a word on host
// paths where one follows /u or /b. Always 0: the run fails, and nothing ran.
int ReportNotUnderstood(const WCHAR* line);
