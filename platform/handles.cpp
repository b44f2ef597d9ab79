#include "platform/handles.h"

#include <mutex>
#include <unordered_set>

#include "platform/error.h"

namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_set<HandleObject*> live;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

HANDLE HandleRegister(HandleObject* object) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  t.live.insert(object);
  return object;
}

namespace {

// The live object of `kind` behind `handle`, optionally forgetting it; the
// check and the removal happen under one hold of the table's lock.
HandleObject* Find(HANDLE handle, HandleKind kind, bool forget) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto* object = static_cast<HandleObject*>(handle);
  if (t.live.count(object) == 0 || object->kind != kind) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (forget) t.live.erase(object);
  return object;
}

}  // namespace

HandleObject* HandleLookup(HANDLE handle, HandleKind kind) { return Find(handle, kind, false); }

HandleKind HandlePeekKind(HANDLE handle) {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto* object = static_cast<HandleObject*>(handle);
  return t.live.count(object) != 0 ? object->kind : HandleKind::None;
}

HandleObject* HandleUnregister(HANDLE handle, HandleKind kind) { return Find(handle, kind, true); }

BOOL CloseHandle(HANDLE handle) {
  HandleObject* object = nullptr;
  {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto* candidate = static_cast<HandleObject*>(handle);
    if (t.live.erase(candidate) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    object = candidate;
  }
  return object->close(object) ? TRUE : FALSE;
}

size_t HandleCount() {
  HandleTable& t = Table();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.live.size();
}
