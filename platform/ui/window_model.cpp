// Handles are slot numbers with a generation, so a handle of an ended dialog
// never finds the dialog that took over its slot.
#include "platform/ui/window_model.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <new>

#include "platform/error.h"
#include "platform/ui/recording.h"

namespace {

constexpr unsigned kSlotBits = 16;
constexpr uintptr_t kSlotMask = (uintptr_t{1} << kSlotBits) - 1;
// Slot numbers are stored plus one so that no handle is null.
constexpr size_t kMaxSlots = kSlotMask - 1;

struct UiSlot {
  uint32_t generation = 1;
  bool used = false;
  UiDialogState* dialog = nullptr;
  int control = -1;
};

struct UiModelState {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<UiSlot> slots;
  std::vector<size_t> freeSlots;
  std::vector<std::unique_ptr<UiDialogState>> dialogs;  // opening order
  std::deque<UiQueued> queue;  // messages for the dialogs' threads
  uint64_t serial = 0;
  uint64_t events = 0;
  int pumpers = 0;
  const UiBackendOps* backend = nullptr;
  UiChangeWatcher watcher = nullptr;
};

// Never destroyed: threads still waiting in the window system when the
// process exits must not find it torn down.
UiModelState& g_ui = *new UiModelState;

HWND MakeHandle(size_t slot) {
  uintptr_t value = (static_cast<uintptr_t>(g_ui.slots[slot].generation) << kSlotBits) | (slot + 1);
  return reinterpret_cast<HWND>(value);
}

// Takes a slot for a window; SIZE_MAX when none is left.
size_t TakeSlot(UiDialogState* dialog, int control) {
  size_t slot;
  if (!g_ui.freeSlots.empty()) {
    slot = g_ui.freeSlots.back();
    g_ui.freeSlots.pop_back();
  } else {
    if (g_ui.slots.size() >= kMaxSlots) return SIZE_MAX;
    g_ui.slots.emplace_back();
    slot = g_ui.slots.size() - 1;
  }
  g_ui.slots[slot].used = true;
  g_ui.slots[slot].dialog = dialog;
  g_ui.slots[slot].control = control;
  return slot;
}

void FreeSlot(HWND window) {
  uintptr_t value = reinterpret_cast<uintptr_t>(window);
  size_t slot = (value & kSlotMask) - 1;
  UiSlot& s = g_ui.slots[slot];
  s.used = false;
  s.dialog = nullptr;
  s.control = -1;
  s.generation++;
  g_ui.freeSlots.push_back(slot);
}

void InitControls(const DialogTemplate* source, UiDialogState* dialog) {
  dialog->controls.resize(source->controlCount);
  for (size_t i = 0; i < source->controlCount; i++) {
    const DialogControl& from = source->controls[i];
    UiControlState& c = dialog->controls[i];
    c.id = from.id;
    c.kind = from.kind;
    c.style = from.style;
    c.x = from.x;
    c.y = from.y;
    c.width = from.width;
    c.height = from.height;
    c.text = from.text ? std::u16string(from.text) : std::u16string();
    c.visible = (from.style & WS_VISIBLE) != 0;
    c.enabled = (from.style & WS_DISABLED) == 0;
  }
}

UiDialogState* FindLocked(HWND dialog) {
  int index = -1;
  UiDialogState* d = UiResolveLocked(dialog, &index);
  if (d == nullptr) return nullptr;
  if (index >= 0) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return d;
}

// Drops what waits for `window` (null: everything); a sender waiting for a
// result gets 0.
void DropQueuedLocked(HWND window) {
  for (auto it = g_ui.queue.begin(); it != g_ui.queue.end();) {
    if (window != nullptr && it->hwnd != window) {
      ++it;
      continue;
    }
    if (it->sent) {
      it->sent->result = 0;
      it->sent->done = true;
    }
    it = g_ui.queue.erase(it);
  }
}

// Posts user input to a dialog that takes it.
bool PostInput(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto lock = UiLock();
  UiDialogState* d = FindLocked(dialog);
  if (d == nullptr || !UiDialogTakesInput(*d)) return false;
  return UiPostLocked(*d, message, wParam, lParam, nullptr);
}

}  // namespace

// ---------------------------------------------------------------------------

bool UiDialogTakesInput(const UiDialogState& dialog) {
  return dialog.shown && !dialog.ended && dialog.visible && dialog.programEnabled && dialog.modalChildren == 0;
}

bool UiDialogWaitsForUser(const UiDialogState& dialog) {
  if (!UiDialogTakesInput(dialog)) return false;
  for (const UiControlState& c : dialog.controls) {
    bool usable = c.kind == DialogControlKind::PushButton || c.kind == DialogControlKind::DefPushButton ||
                  c.kind == DialogControlKind::ListBox;
    if (usable && c.visible && c.enabled) return true;
  }
  return false;
}

bool UiControlTakesInput(const UiDialogState& dialog, const UiControlState& control) {
  return UiDialogTakesInput(dialog) && control.visible && control.enabled;
}

int UiDefaultButtonIndex(const UiDialogState& dialog) {
  for (size_t i = 0; i < dialog.controls.size(); i++) {
    const UiControlState& c = dialog.controls[i];
    if (c.kind == DialogControlKind::DefPushButton && c.visible && c.enabled) return static_cast<int>(i);
  }
  return -1;
}

std::u16string UiWithoutMnemonics(const std::u16string& text) {
  std::u16string plain;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == u'&') {
      if (i + 1 == text.size()) break;
      i++;
    }
    plain += text[i];
  }
  return plain;
}

std::unique_lock<std::mutex> UiLock() { return std::unique_lock<std::mutex>(g_ui.mutex); }

UiDialogState* UiResolveLocked(HWND window, int* controlIndex) {
  uintptr_t value = reinterpret_cast<uintptr_t>(window);
  size_t slot = value & kSlotMask;
  uintptr_t generation = value >> kSlotBits;
  if (slot == 0 || slot > g_ui.slots.size() || !g_ui.slots[slot - 1].used ||
      g_ui.slots[slot - 1].generation != generation) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  const UiSlot& s = g_ui.slots[slot - 1];
  if (controlIndex) *controlIndex = s.control;
  return s.dialog;
}

UiControlState* UiControlLocked(UiDialogState* dialog, int id, int* index) {
  for (size_t i = 0; i < dialog->controls.size(); i++) {
    if (dialog->controls[i].id == id) {
      if (index) *index = static_cast<int>(i);
      return &dialog->controls[i];
    }
  }
  SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
  return nullptr;
}

void UiChangedLocked(const UiDialogState& dialog, int controlIndex, UiChange change) {
  if (g_ui.watcher != nullptr) g_ui.watcher(dialog, controlIndex, change);
  UiBackend()->dialogChanged(dialog.hwnd, controlIndex, change);
}

void UiSetChangeWatcher(UiChangeWatcher watcher) {
  auto lock = UiLock();
  g_ui.watcher = watcher;
}

bool UiSnapshotDialog(HWND dialog, UiDialogState* out) {
  auto lock = UiLock();
  UiDialogState* d = UiResolveLocked(dialog, nullptr);
  if (d == nullptr) return false;
  *out = *d;
  return true;
}

std::vector<HWND> UiOpenDialogs() {
  auto lock = UiLock();
  std::vector<HWND> open;
  for (const auto& d : g_ui.dialogs) {
    if (d->shown && !d->ended) open.push_back(d->hwnd);
  }
  return open;
}

HWND UiFindDialog(WORD templateId) {
  auto lock = UiLock();
  for (auto it = g_ui.dialogs.rbegin(); it != g_ui.dialogs.rend(); ++it) {
    if ((*it)->templateId == templateId && !(*it)->ended) return (*it)->hwnd;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------

bool UiUserCommand(HWND dialog, int controlId) {
  auto lock = UiLock();
  UiDialogState* d = FindLocked(dialog);
  if (d == nullptr) return false;
  int index = -1;
  UiControlState* c = UiControlLocked(d, controlId, &index);
  if (c == nullptr || !UiControlTakesInput(*d, *c)) return false;
  if (c->kind != DialogControlKind::PushButton && c->kind != DialogControlKind::DefPushButton) return false;
  return UiPostLocked(*d, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(controlId), BN_CLICKED),
                      reinterpret_cast<LPARAM>(c->hwnd), nullptr);
}

bool UiUserSelect(HWND dialog, int controlId, const std::vector<int>& selected) {
  auto lock = UiLock();
  UiDialogState* d = FindLocked(dialog);
  if (d == nullptr) return false;
  int index = -1;
  UiControlState* c = UiControlLocked(d, controlId, &index);
  if (c == nullptr || c->kind != DialogControlKind::ListBox || !UiControlTakesInput(*d, *c)) return false;
  bool multiple = (c->style & (LBS_EXTENDEDSEL | LBS_MULTIPLESEL)) != 0;
  if (!multiple && selected.size() > 1) return false;
  for (int i : selected) {
    if (i < 0 || static_cast<size_t>(i) >= c->items.size()) return false;
  }
  std::fill(c->selected.begin(), c->selected.end(), 0);
  for (int i : selected) c->selected[static_cast<size_t>(i)] = 1;
  UiChangedLocked(*d, index, UiChange::ListSelection);
  if ((c->style & LBS_NOTIFY) == 0) return true;
  return UiPostLocked(*d, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(controlId), LBN_SELCHANGE),
                      reinterpret_cast<LPARAM>(c->hwnd), nullptr);
}

bool UiUserMouseDown(HWND dialog, WPARAM keys, int x, int y) {
  return PostInput(dialog, WM_LBUTTONDOWN, keys | MK_LBUTTON,
                   MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)));
}

bool UiUserClose(HWND dialog) {
  auto lock = UiLock();
  UiDialogState* d = FindLocked(dialog);
  if (d == nullptr || !UiDialogTakesInput(*d) || (d->style & WS_SYSMENU) == 0) return false;
  return UiPostLocked(*d, WM_CLOSE, 0, 0, nullptr);
}

bool UiUserEscape(HWND dialog) { return PostInput(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0); }

bool UiUserEnter(HWND dialog) {
  int id = IDOK;
  LPARAM control = 0;
  {
    auto lock = UiLock();
    UiDialogState* d = FindLocked(dialog);
    if (d == nullptr) return false;
    int index = UiDefaultButtonIndex(*d);
    if (index >= 0) {
      id = d->controls[static_cast<size_t>(index)].id;
      control = reinterpret_cast<LPARAM>(d->controls[static_cast<size_t>(index)].hwnd);
    }
  }
  return PostInput(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), control);
}

// ---------------------------------------------------------------------------

UiDialogState* UiCreateDialogLocked(const DialogTemplate* source, HWND ownerDialog, DLGPROC proc) {
  auto dialog = std::unique_ptr<UiDialogState>(new (std::nothrow) UiDialogState);
  if (!dialog) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  dialog->owner = ownerDialog;
  dialog->templateId = source->id;
  dialog->style = source->style;
  dialog->title = source->title ? std::u16string(source->title) : std::u16string();
  dialog->fontName = source->fontName ? std::u16string(source->fontName) : std::u16string();
  dialog->fontPointSize = source->fontPointSize;
  dialog->width = source->width;
  dialog->height = source->height;
  dialog->proc = proc;
  dialog->thread = std::this_thread::get_id();
  dialog->serial = UiNextSerialLocked();
  InitControls(source, dialog.get());
  size_t available = (kMaxSlots - g_ui.slots.size()) + g_ui.freeSlots.size();
  if (available < source->controlCount + 1) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  size_t slot = TakeSlot(dialog.get(), -1);
  dialog->hwnd = MakeHandle(slot);
  for (size_t i = 0; i < dialog->controls.size(); i++) {
    size_t s = TakeSlot(dialog.get(), static_cast<int>(i));
    dialog->controls[i].hwnd = MakeHandle(s);
  }
  if (ownerDialog != nullptr) {
    UiDialogState* owner = FindLocked(ownerDialog);
    if (owner) {
      owner->modalChildren++;
      UiChangedLocked(*owner, -1, UiChange::DialogEnabled);
    }
  }
  g_ui.dialogs.push_back(std::move(dialog));
  return g_ui.dialogs.back().get();
}

void UiDestroyDialogLocked(HWND window) {
  UiDialogState* d = FindLocked(window);
  if (d == nullptr) return;
  DropQueuedLocked(window);
  if (d->owner != nullptr) {
    UiDialogState* owner = FindLocked(d->owner);
    if (owner) {
      owner->modalChildren--;
      UiChangedLocked(*owner, -1, UiChange::DialogEnabled);
    }
  }
  for (const UiControlState& c : d->controls) FreeSlot(c.hwnd);
  FreeSlot(d->hwnd);
  auto it = std::find_if(g_ui.dialogs.begin(), g_ui.dialogs.end(),
                         [&](const std::unique_ptr<UiDialogState>& p) { return p.get() == d; });
  if (it != g_ui.dialogs.end()) g_ui.dialogs.erase(it);
  UiNotifyLocked();
}

HWND UiBeginModal(HWND owner) {
  if (owner == nullptr) return nullptr;
  auto lock = UiLock();
  UiDialogState* d = UiResolveLocked(owner, nullptr);
  if (d == nullptr) return nullptr;
  d->modalChildren++;
  UiChangedLocked(*d, -1, UiChange::DialogEnabled);
  return d->hwnd;
}

void UiEndModal(HWND ownerDialog) {
  if (ownerDialog == nullptr) return;
  auto lock = UiLock();
  UiDialogState* d = FindLocked(ownerDialog);
  if (d == nullptr) return;
  d->modalChildren--;
  UiChangedLocked(*d, -1, UiChange::DialogEnabled);
  UiNotifyLocked();
}

uint64_t UiNextSerialLocked() { return ++g_ui.serial; }

// ---------------------------------------------------------------------------

bool UiPostLocked(const UiDialogState& dialog, UINT message, WPARAM wParam, LPARAM lParam, UiSent* sent) {
  g_ui.queue.push_back(UiQueued{dialog.thread, dialog.hwnd, message, wParam, lParam, sent});
  UiNotifyLocked();
  return true;
}

void UiNotifyLocked() {
  g_ui.events++;
  g_ui.changed.notify_all();
  if (g_ui.pumpers > 0 && UiBackend()->wake) UiBackend()->wake();
}

uint64_t UiEventsLocked() { return g_ui.events; }

bool UiTakeQueuedLocked(bool takePosted, UiQueued* item) {
  std::thread::id self = std::this_thread::get_id();
  for (auto it = g_ui.queue.begin(); it != g_ui.queue.end(); ++it) {
    if (it->thread != self || (!takePosted && it->sent == nullptr)) continue;
    *item = *it;
    g_ui.queue.erase(it);
    return true;
  }
  return false;
}

void UiWaitOnceLocked(std::unique_lock<std::mutex>& lock, uint64_t seen, uint32_t timeoutMs) {
  const UiBackendOps* backend = UiBackend();
  if (backend->ownsThread && backend->ownsThread()) {
    g_ui.pumpers++;
    lock.unlock();
    backend->pump();
    lock.lock();
    g_ui.pumpers--;
    return;
  }
  auto changed = [&] { return g_ui.events != seen; };
  if (timeoutMs == 0) {
    g_ui.changed.wait(lock, changed);
  } else {
    g_ui.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), changed);
  }
}

// ---------------------------------------------------------------------------

// Read by the leak checker of sanitizer builds: fontconfig, which Qt loads,
// keeps its caches until the process ends and never frees them. Here rather
// than with the Qt backend because the checker asks the program, never a
// plug-in, and every program that can show a window has this file.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

const UiBackendOps* UiBackend() {
  const UiBackendOps* b = g_ui.backend;
  return b ? b : RecordingBackend();
}

const UiBackendOps* UiSetBackend(const UiBackendOps* ops) {
  auto lock = UiLock();
  const UiBackendOps* previous = UiBackend();
  g_ui.backend = ops;
  return previous;
}

void UiModelResetForTests() {
  auto lock = UiLock();
  for (const auto& d : g_ui.dialogs) {
    for (const UiControlState& c : d->controls) FreeSlot(c.hwnd);
    FreeSlot(d->hwnd);
  }
  g_ui.dialogs.clear();
  DropQueuedLocked(nullptr);
  g_ui.backend = nullptr;
  UiNotifyLocked();
}
