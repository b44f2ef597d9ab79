// The program's layers back to their state at process start, so one test
// binary can run many cases on fresh modules.
#pragma once

void ResetProgramLayersForTests();
