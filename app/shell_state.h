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
  // Where the next file dialog of the update and backup flows starts; ends
  // with a backslash once a file was chosen.
  WCHAR lastDirectory[MAX_PATH] = u"\\USB HD\\IMAGES";
  // The update flow the main dialog started, so that closing the dialog does
  // not pull the library away under it.
  HANDLE updateThread = nullptr;
};

extern ShellState g_shell;

void ShellStateResetForTests();
