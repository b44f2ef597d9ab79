// The console window system: dialogs drawn as text, message boxes printed
// with their caption, questions and file names read as lines. One thread of
// its own reads the input and does all the drawing, so the output of
// several threads never interleaves. See platform/ui/README.md for the
// input syntax.
#pragma once

#include "platform/ui/backend.h"

struct ConsoleUiConfig {
  int inputFd = 0;
  int outputFd = 2;
  int terminal = -1;  // 1: draw for a terminal (progress in place), 0: plain lines, -1: ask the output
  // After a line is handled, or a window opens or closes, the next line
  // waits this long for the windows to settle (so it reaches the window a
  // button press opens, not the dialog that had it).
  uint32_t settleMs = 100;
  // Least time between two in-place redraws of a progress window.
  uint32_t redrawMs = 100;
};

// Takes effect for the next use; stops the input thread when it runs.
void ConsoleUiConfigure(const ConsoleUiConfig& config);

const UiBackendOps* ConsoleBackend();

// Ends the input thread; questions still waiting take their default answer,
// file dialogs are cancelled.
void ConsoleUiStop();
