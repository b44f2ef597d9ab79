// Window texts, states and messages. A handle names a dialog or one of its
// controls; both live in the model, so these work from any thread at once.
#include <algorithm>

#include "platform/error.h"
#include "platform/text.h"
#include "platform/ui/control_messages.h"
#include "platform/ui/window.h"
#include "platform/ui/window_model.h"

namespace {

std::u16string* TextOf(UiDialogState* d, int index) {
  return index < 0 ? &d->title : &d->controls[static_cast<size_t>(index)].text;
}

bool SetTextLocked(UiDialogState* d, int index, LPCWSTR text) {
  std::u16string value = text ? std::u16string(text) : std::u16string();
  std::u16string* target = TextOf(d, index);
  if (*target != value) {
    *target = value;
    UiChangedLocked(*d, index, index < 0 ? UiChange::Title : UiChange::Text);
  }
  return true;
}

// Copies with the platform's rules; returns the units copied.
int CopyOut(const std::u16string& text, LPWSTR buffer, int capacity) {
  if (buffer == nullptr || capacity <= 0) return 0;
  size_t n = std::min(text.size(), static_cast<size_t>(capacity) - 1);
  std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), buffer);
  buffer[n] = 0;
  return static_cast<int>(n);
}

bool IsButton(const UiControlState& c) {
  return c.kind == DialogControlKind::PushButton || c.kind == DialogControlKind::DefPushButton;
}

}  // namespace

BOOL IsWindow(HWND window) {
  auto lock = UiLock();
  return UiResolveLocked(window, nullptr) != nullptr;
}

HWND GetDlgItem(HWND dialog, int id) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(dialog, &index);
  if (d == nullptr) return nullptr;
  if (index >= 0) {
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
  }
  UiControlState* c = UiControlLocked(d, id, nullptr);
  return c ? c->hwnd : nullptr;
}

int GetDlgCtrlID(HWND control) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(control, &index);
  if (d == nullptr || index < 0) return 0;
  return d->controls[static_cast<size_t>(index)].id;
}

HWND GetParent(HWND window) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return nullptr;
  return index >= 0 ? d->hwnd : d->owner;
}

BOOL SetWindowTextW(HWND window, LPCWSTR text) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  return d != nullptr && SetTextLocked(d, index, text);
}

int GetWindowTextW(HWND window, LPWSTR buffer, int capacity) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) {
    if (buffer && capacity > 0) buffer[0] = 0;
    return 0;
  }
  return CopyOut(*TextOf(d, index), buffer, capacity);
}

int GetWindowTextLengthW(HWND window) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  return d ? static_cast<int>(TextOf(d, index)->size()) : 0;
}

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SetWindowTextW(control, text) : FALSE;
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int capacity) {
  HWND control = GetDlgItem(dialog, id);
  if (control == nullptr) {
    if (buffer && capacity > 0) buffer[0] = 0;
    return 0;
  }
  return static_cast<UINT>(GetWindowTextW(control, buffer, capacity));
}

BOOL EnableWindow(HWND window, BOOL enable) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return FALSE;
  bool* flag = index < 0 ? &d->programEnabled : &d->controls[static_cast<size_t>(index)].enabled;
  bool wasDisabled = !*flag;
  if (*flag != (enable != FALSE)) {
    *flag = enable != FALSE;
    UiChangedLocked(*d, index, index < 0 ? UiChange::DialogEnabled : UiChange::Enabled);
  }
  return wasDisabled ? TRUE : FALSE;
}

BOOL ShowWindow(HWND window, int command) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return FALSE;
  bool* flag = index < 0 ? &d->visible : &d->controls[static_cast<size_t>(index)].visible;
  bool wasVisible = *flag;
  bool show = command != SW_HIDE;
  if (*flag != show) {
    *flag = show;
    UiChangedLocked(*d, index, UiChange::Visible);
  }
  return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND window) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return FALSE;
  bool dialogVisible = d->shown && d->visible && !d->ended;
  if (index < 0) return dialogVisible;
  return dialogVisible && d->controls[static_cast<size_t>(index)].visible;
}

BOOL IsWindowEnabled(HWND window) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return FALSE;
  bool dialogEnabled = d->programEnabled && d->modalChildren == 0;
  if (index < 0) return dialogEnabled;
  return dialogEnabled && d->controls[static_cast<size_t>(index)].enabled;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return 0;
  switch (message) {
    case WM_SETTEXT:
      return SetTextLocked(d, index, reinterpret_cast<LPCWSTR>(lParam)) ? TRUE : FALSE;
    case WM_GETTEXT:
      return CopyOut(*TextOf(d, index), reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(TextOf(d, index)->size());
    default:
      break;
  }
  if (index < 0) {
    HWND dialog = d->hwnd;
    lock.unlock();
    return UiSendToDialog(dialog, message, wParam, lParam);
  }
  const UiControlState& c = d->controls[static_cast<size_t>(index)];
  if (message == BM_CLICK) {
    // A click the program makes counts only where the user could click.
    if (!IsButton(c) || !UiControlTakesInput(*d, c)) return 0;
    HWND dialog = d->hwnd;
    WPARAM command = MAKEWPARAM(static_cast<WORD>(c.id), BN_CLICKED);
    lock.unlock();
    UiSendToDialog(dialog, WM_COMMAND, command, reinterpret_cast<LPARAM>(window));
    return 0;
  }
  return ControlMessageLocked(d, index, message, wParam, lParam);
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam) {
  HWND control = GetDlgItem(dialog, id);
  return control ? SendMessageW(control, message, wParam, lParam) : 0;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
  if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}
