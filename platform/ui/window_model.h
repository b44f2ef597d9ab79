// The window model: every open dialog with its controls, behind one lock.
// The window system's calls change it from any thread; backends read it
// (snapshots) to draw and feed the user's actions in through UiUser*.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/types.h"
#include "platform/ui/backend.h"
#include "platform/ui/window.h"

struct UiControlState {
  HWND hwnd = nullptr;
  int32_t id = IDC_STATIC;
  DialogControlKind kind = DialogControlKind::StaticText;
  DWORD style = 0;
  int16_t x = 0, y = 0, width = 0, height = 0;  // dialog units
  std::u16string text;
  bool visible = true;
  bool enabled = true;
  std::vector<std::u16string> items;  // list box
  std::vector<uint8_t> selected;      // list box, one flag per item
  int32_t rangeMin = 0;               // progress bar
  int32_t rangeMax = 100;
  int32_t pos = 0;
  int32_t step = 10;
};

struct UiDialogState {
  HWND hwnd = nullptr;
  HWND owner = nullptr;  // the owning dialog
  WORD templateId = 0;
  DWORD style = 0;
  std::u16string title;
  std::u16string fontName;
  WORD fontPointSize = 0;
  int16_t width = 0, height = 0;  // dialog units
  uint64_t serial = 0;            // opening order among all windows
  bool shown = false;             // past WM_INITDIALOG and handed to the backend
  bool visible = true;            // ShowWindow on the dialog itself
  bool programEnabled = true;     // EnableWindow on the dialog itself
  int modalChildren = 0;          // open modal windows it owns
  bool ended = false;
  INT_PTR result = 0;  // what EndDialog was given
  bool focusOnShow = true;  // WM_INITDIALOG returned TRUE
  DLGPROC proc = nullptr;
  std::thread::id thread;  // runs the procedure and the modal loop
  std::vector<UiControlState> controls;
};

// A dialog takes input when it is shown, visible, enabled and no modal
// window it owns is open.
bool UiDialogTakesInput(const UiDialogState& dialog);
// A dialog waits for a user when it takes input and offers a visible,
// enabled button or list; the progress window offers none and runs on.
bool UiDialogWaitsForUser(const UiDialogState& dialog);
// A control takes input when it and its dialog do.
bool UiControlTakesInput(const UiDialogState& dialog, const UiControlState& control);
// The control Enter presses: the visible, enabled default push button, else
// none (-1).
int UiDefaultButtonIndex(const UiDialogState& dialog);

// A control's text as shown: "&" marks the next letter as the mnemonic and
// disappears, "&&" shows one "&".
std::u16string UiWithoutMnemonics(const std::u16string& text);

// ---------------------------------------------------------------------------
// Reading the model (any thread).

bool UiSnapshotDialog(HWND dialog, UiDialogState* out);
// Shown dialogs that have not ended, in opening order.
std::vector<HWND> UiOpenDialogs();
// The newest open dialog made from template `templateId`, or null.
HWND UiFindDialog(WORD templateId);

// ---------------------------------------------------------------------------
// The user's actions, from backends (any thread). Each checks that the
// dialog and the control take input and returns false when they do not.

bool UiUserCommand(HWND dialog, int controlId);  // a button press
// Sets the list's selection to `selected` (indices) and notifies the
// procedure when the list box has LBS_NOTIFY.
bool UiUserSelect(HWND dialog, int controlId, const std::vector<int>& selected);
bool UiUserMouseDown(HWND dialog, WPARAM keys, int x, int y);
bool UiUserClose(HWND dialog);   // the close box: WM_CLOSE
bool UiUserEscape(HWND dialog);  // WM_COMMAND IDCANCEL
bool UiUserEnter(HWND dialog);   // the default button, else IDOK

// ---------------------------------------------------------------------------
// For the window system's own calls.

// The lock over the model. Backends take it only to read state they were
// told about; never across a blocking call.
std::unique_lock<std::mutex> UiLock();

// With the lock held: the dialog `window` is or belongs to, and the index of
// the control (-1 for the dialog itself). Null for a dead handle, with
// ERROR_INVALID_WINDOW_HANDLE set.
UiDialogState* UiResolveLocked(HWND window, int* controlIndex);
UiControlState* UiControlLocked(UiDialogState* dialog, int id, int* index);
// Tells the backend, with the lock held.
void UiChangedLocked(const UiDialogState& dialog, int controlIndex, UiChange change);
// Also called on every change, with the lock held and the state as the change
// left it, for a backend that must see each value rather than the latest
// (the console's log). Null: none. Must not block nor call the window system.
using UiChangeWatcher = void (*)(const UiDialogState& dialog, int controlIndex, UiChange change);
void UiSetChangeWatcher(UiChangeWatcher watcher);

// Opening and ending dialogs (message_loop.cpp drives these).
// Null when no handle is left (ERROR_NOT_ENOUGH_MEMORY).
UiDialogState* UiCreateDialogLocked(const DialogTemplate* source, HWND ownerDialog, DLGPROC proc);
void UiDestroyDialogLocked(HWND dialog);

// A modal message box or file dialog owned by `owner` opens or closes: the
// owner takes no input meanwhile. Returns the owning dialog (or null).
HWND UiBeginModal(HWND owner);
void UiEndModal(HWND ownerDialog);
uint64_t UiNextSerialLocked();

// Posting and sending to a dialog's thread (message_loop.cpp).
struct UiSent {
  bool done = false;
  LRESULT result = 0;
};
bool UiPostLocked(const UiDialogState& dialog, UINT message, WPARAM wParam, LPARAM lParam, UiSent* sent);
// Wakes every waiting thread. With the lock held.
void UiNotifyLocked();

// A message waiting for a dialog's thread.
struct UiQueued {
  std::thread::id thread;
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  UiSent* sent;  // null when posted
};
// With the lock held: the oldest message for this thread (only sent ones
// unless `takePosted`).
bool UiTakeQueuedLocked(bool takePosted, UiQueued* item);
// Counts every UiNotifyLocked, so a waiter can tell whether it missed one.
uint64_t UiEventsLocked();
// Waits once for a notification after `seen` (at most timeoutMs, 0: no
// limit), pumping the backend's events on its own thread.
void UiWaitOnceLocked(std::unique_lock<std::mutex>& lock, uint64_t seen, uint32_t timeoutMs);

// With the lock held: waits until `*done`, meanwhile running what other
// threads sent (and, with `takePosted`, posted) to this thread's dialogs, and
// keeping the backend's event loop going when this is its thread.
void UiWaitLocked(std::unique_lock<std::mutex>& lock, const bool* done, bool takePosted);
// The same for backends: takes the lock, waits for `*done` that another
// thread sets through UiSignal.
void UiWaitFor(const bool* done);
void UiSignal(bool* done);

// Calls the dialog's procedure on this thread, with the default handling of
// WM_CLOSE. 0 for a dead dialog.
LRESULT UiDeliver(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs `message` through the procedure of `dialog`: here when this is its
// thread, else on its thread while this one waits.
LRESULT UiSendToDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the modal loop of `dialog` on the calling thread until it ends.
void UiRunModalLoop(HWND dialog);

// Ends every trace of windows; only with no dialog open. Selects the
// recording backend.
void UiModelResetForTests();
