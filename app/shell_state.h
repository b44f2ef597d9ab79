// State the shell's parts share. Written by one thread before the operation
// that reads it starts, so no lock guards it.
#pragma once

#include "platform/types.h"

struct ShellState {
  // 1 while a command runs without questions and result messages.
  int32_t unattendedMode = 0;
  // The image file of the update flow.
  WCHAR currentImagePath[MAX_PATH] = {};
  // The main dialog once its initialisation succeeded, else none.
  HWND mainWindow = nullptr;
  // Kept for loading the dialog templates.
  HINSTANCE instance = nullptr;
};

extern ShellState g_shell;

void ShellStateResetForTests();
