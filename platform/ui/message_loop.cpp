// The message loops: a dialog's modal loop, and the waits of threads that
// wait for another thread (a sent message, an answer of the backend). Every
// wait runs what other threads sent to the waiting thread's dialogs, so two
// threads sending to each other's dialogs never deadlock.
#include "platform/ui/window_model.h"

namespace {

void Dispatch(const UiQueued& item) {
  LRESULT result = UiDeliver(item.hwnd, item.message, item.wParam, item.lParam);
  if (item.sent) {
    auto lock = UiLock();
    item.sent->result = result;
    item.sent->done = true;
    UiNotifyLocked();
  }
}

}  // namespace

LRESULT UiDeliver(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  DLGPROC proc = nullptr;
  LPARAM cancelControl = 0;
  {
    auto lock = UiLock();
    int index = -1;
    UiDialogState* d = UiResolveLocked(dialog, &index);
    if (d == nullptr || index >= 0) return 0;
    proc = d->proc;
    if (UiControlState* c = UiControlLocked(d, IDCANCEL, nullptr)) cancelControl = reinterpret_cast<LPARAM>(c->hwnd);
  }
  INT_PTR handled = proc ? proc(dialog, message, wParam, lParam) : FALSE;
  // The platform's default for an unhandled close box is the cancel command.
  if (message == WM_CLOSE && handled == FALSE) {
    return UiDeliver(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), cancelControl);
  }
  return handled;
}

void UiWaitLocked(std::unique_lock<std::mutex>& lock, const bool* done, bool takePosted) {
  while (!*done) {
    uint64_t seen = UiEventsLocked();
    UiQueued item;
    if (UiTakeQueuedLocked(takePosted, &item)) {
      lock.unlock();
      Dispatch(item);
      lock.lock();
      continue;
    }
    UiWaitOnceLocked(lock, seen, 0);
  }
}

void UiWaitFor(const bool* done) {
  auto lock = UiLock();
  UiWaitLocked(lock, done, true);
}

void UiSignal(bool* done) {
  auto lock = UiLock();
  *done = true;
  UiNotifyLocked();
}

void UiRunModalLoop(HWND dialog) {
  const UiBackendOps* backend = UiBackend();
  auto lock = UiLock();
  for (;;) {
    UiDialogState* d = UiResolveLocked(dialog, nullptr);
    if (d == nullptr || d->ended) return;
    uint64_t seen = UiEventsLocked();
    UiQueued item;
    if (UiTakeQueuedLocked(true, &item)) {
      lock.unlock();
      Dispatch(item);
      lock.lock();
      continue;
    }
    uint32_t waitMs = 0;
    if (backend->dialogIdle) {
      lock.unlock();
      waitMs = backend->dialogIdle(dialog);
      lock.lock();
      // Whatever the idle hook did (or anyone else meanwhile) is looked at first.
      if (UiEventsLocked() != seen) continue;
    }
    UiWaitOnceLocked(lock, seen, waitMs);
  }
}
