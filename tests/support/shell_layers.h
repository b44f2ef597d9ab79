// The shell's layers back to process start, whatever window system the test
// then selects.
#pragma once

// Progress window, library and flash layers, shell state, command table and
// real sleeps; the shell's dialog templates registered again (after a reset
// of the window system they are gone).
void ResetShellLayersForTests();
