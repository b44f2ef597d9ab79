// The table a window-system backend fills in. The window model
// (window_model.h) holds every dialog's state and is the only truth; a
// backend shows that state and turns the user's actions into the model's
// input calls (UiUser*).
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"
#include "platform/ui/window.h"

// What a change notification is about.
enum class UiChange : uint8_t {
  Title,
  Text,
  Enabled,
  Visible,
  ListItems,
  ListSelection,
  ProgressRange,
  ProgressPos,
  DialogEnabled,
};

enum class UiIcon : uint8_t { None, Error, Question, Warning, Information };

// A message box, decoded from its style.
constexpr int kMaxMessageBoxButtons = 3;
struct UiMessageBox {
  HWND owner = nullptr;  // the owning dialog, or null
  std::u16string text;
  std::u16string caption;
  UINT style = 0;
  UiIcon icon = UiIcon::None;
  int buttons[kMaxMessageBoxButtons] = {};
  int buttonCount = 0;
  int defaultButton = 0;  // one of `buttons`
  int escapeAnswer = 0;   // what Escape or the close box answers; 0: they do nothing
  uint64_t serial = 0;    // opening order among all windows
};

// One entry of a file dialog's filter.
struct UiFileFilter {
  std::u16string description;
  std::vector<std::u16string> patterns;  // "*.bin"
};

// What a backend needs to ask for a file; the answer goes through
// FileDialogAccept (file_dialog.h), which applies the options.
struct UiFileRequest {
  bool save = false;
  HWND owner = nullptr;
  std::u16string title;
  std::u16string folder;    // where the chooser starts
  std::u16string fileName;  // the name it proposes
  std::vector<UiFileFilter> filters;
  size_t filterIndex = 0;  // 0-based, into filters; the backend updates it
  DWORD flags = 0;
  std::u16string defaultExtension;
  bool readOnlyTicked = false;  // the read-only box, where the backend offers it
  uint64_t serial = 0;
};

struct UiBackendOps {
  const char* name;
  // False when the backend cannot show anything now (no display).
  bool (*ready)();
  // The dialog finished WM_INITDIALOG and is to be shown. May return before
  // it is on screen.
  void (*dialogShown)(HWND dialog);
  // Something of the dialog changed (controlIndex -1: the dialog itself).
  // Called with the model locked: must not block nor call back into the
  // window system.
  void (*dialogChanged)(HWND dialog, int controlIndex, UiChange change);
  // The dialog ended; its handle is dead once this returns.
  void (*dialogClosed)(HWND dialog, INT_PTR result);
  // Called by a dialog's loop when it has nothing to do; may post input.
  // Returns how long to wait before asking again (0: until something happens).
  // Optional.
  uint32_t (*dialogIdle)(HWND dialog);
  // Blocks until answered; returns one of box.buttons.
  int (*messageBox)(const UiMessageBox& box);
  // Blocks until a path is accepted (TRUE, `path` set) or the user cancels.
  bool (*chooseFile)(UiFileRequest* request, std::u16string* path);
  // True on the backend's own event-loop thread: waits there must keep the
  // loop running through `pump`. Optional.
  bool (*ownsThread)();
  // Runs the backend's pending events, blocking until at least one arrives.
  void (*pump)();
  // Makes a running `pump` return. Called with the model locked.
  void (*wake)();
};

// The backend in use; the recording backend until another is set.
const UiBackendOps* UiBackend();
// Switches backends; only while no dialog is open. Returns the previous one.
const UiBackendOps* UiSetBackend(const UiBackendOps* ops);
