// Modal dialogs: creation, WM_INITDIALOG, the modal loop, the end; and the
// messages that reach a dialog's procedure from other threads.
#include <thread>

#include "platform/error.h"
#include "platform/ui/dialog_templates.h"
#include "platform/ui/window.h"
#include "platform/ui/window_model.h"

namespace {

// The control the system would focus: the first visible, enabled tab stop.
HWND FirstTabStop(const UiDialogState& d) {
  for (const UiControlState& c : d.controls) {
    if ((c.style & WS_TABSTOP) && c.visible && c.enabled) return c.hwnd;
  }
  return nullptr;
}

}  // namespace

INT_PTR DialogBoxIndirectParamW(HINSTANCE, const DialogTemplate* dialogTemplate, HWND owner, DLGPROC proc,
                                LPARAM param) {
  if (!DialogTemplateValid(dialogTemplate)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const UiBackendOps* backend = UiBackend();
  if (!backend->ready()) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
  }
  HWND dialog = nullptr;
  HWND focus = nullptr;
  {
    auto lock = UiLock();
    HWND ownerDialog = nullptr;
    if (owner != nullptr) {
      UiDialogState* o = UiResolveLocked(owner, nullptr);
      if (o == nullptr) return -1;
      ownerDialog = o->hwnd;
    }
    UiDialogState* d = UiCreateDialogLocked(dialogTemplate, ownerDialog, proc);
    if (d == nullptr) return -1;
    dialog = d->hwnd;
    focus = FirstTabStop(*d);
  }
  LRESULT setFocus = UiDeliver(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), param);
  bool show = false;
  {
    auto lock = UiLock();
    UiDialogState* d = UiResolveLocked(dialog, nullptr);
    if (d == nullptr) return -1;  // the window system was reset under it
    d->focusOnShow = setFocus != FALSE;
    show = !d->ended;
    d->shown = show;
  }
  if (show) {
    backend->dialogShown(dialog);
    UiRunModalLoop(dialog);
  }
  INT_PTR result = -1;
  {
    auto lock = UiLock();
    if (UiDialogState* d = UiResolveLocked(dialog, nullptr)) result = d->result;
  }
  backend->dialogClosed(dialog, result);
  auto lock = UiLock();
  UiDestroyDialogLocked(dialog);
  return result;
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc, LPARAM param) {
  const DialogTemplate* found = nullptr;
  if (templateName != nullptr && IS_INTRESOURCE(templateName)) {
    found = DialogTemplateFind(instance, static_cast<WORD>(reinterpret_cast<uintptr_t>(templateName)));
  }
  if (found == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  return DialogBoxIndirectParamW(instance, found, owner, proc, param);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(dialog, &index);
  if (d == nullptr || index >= 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (!d->ended) {
    d->ended = true;
    d->result = result;
  }
  UiNotifyLocked();
  return TRUE;
}

// A message for the procedure of `dialog`: run here when this is its thread,
// else on its thread while this one waits.
LRESULT UiSendToDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto lock = UiLock();
  UiDialogState* d = UiResolveLocked(dialog, nullptr);
  if (d == nullptr) return 0;
  if (d->thread == std::this_thread::get_id()) {
    lock.unlock();
    return UiDeliver(dialog, message, wParam, lParam);
  }
  UiSent sent;
  UiPostLocked(*d, message, wParam, lParam, &sent);
  UiWaitLocked(lock, &sent.done, false);
  return sent.result;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto lock = UiLock();
  int index = -1;
  UiDialogState* d = UiResolveLocked(window, &index);
  if (d == nullptr) return FALSE;
  if (index >= 0) {
    // Controls handle their messages at once; only dialogs have a queue.
    SetLastError(ERROR_INVALID_MESSAGE);
    return FALSE;
  }
  return UiPostLocked(*d, message, wParam, lParam, nullptr) ? TRUE : FALSE;
}
