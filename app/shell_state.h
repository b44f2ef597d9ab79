// State the shell's parts share. Written by one thread before the operation
// that reads it starts, so no lock guards it.
#pragma once

#include "fwlib/regions.h"
#include "platform/types.h"

// The backup dialog lists at most this many regions.
constexpr size_t kBackupListSlots = 8;
// Room for the text of a failure, as long as the longest message.
constexpr size_t kFailureTextChars = 512;

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

  // The backup dialog: the region of each list entry in list order, how many
  // entries are selected, and what the selection spans. The dialog's thread
  // writes them; its flows read them once the user started one.
  uint32_t regionListFlags[kBackupListSlots] = {};
  int32_t selectedCount = 0;
  RegionSummary backupSelection = {};
  // The erase or backup the backup dialog started.
  HANDLE backupFlowThread = nullptr;

  // Why the last operation failed, for the line a command run leaves on the
  // debug output: the library or platform call and its result (no call:
  // the flow refused on its own), and the message shown or held back.
  const WCHAR* failedCall = nullptr;
  uint32_t failedResult = 0;
  WCHAR failureText[kFailureTextChars] = {};
};

extern ShellState g_shell;

void ShellStateResetForTests();
