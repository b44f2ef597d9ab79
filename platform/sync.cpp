#include "platform/sync.h"

#include <new>
#include <string>

#include "module/named_mutex.h"
#include "platform/error.h"
#include "platform/file_mapping.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/threads.h"

namespace {

struct MutexObject {
  HandleObject header;
  NamedMutex* mutex;
};

bool CloseMutexObject(HandleObject* self) {
  auto* object = reinterpret_cast<MutexObject*>(self);
  NamedMutexClose(object->mutex);
  delete object;
  return true;
}

NamedMutex* OpenNamed(BOOL initialOwner, LPCWSTR name, bool* existed) {
  size_t length = TextLengthBounded(name, MAX_PATH + 1);
  if (length > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  const Module* module = PlatformModule();
  if (module == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  std::string error;
  NamedMutex* mutex = NamedMutexCreate(ModuleLocksPath(module->dir), std::u16string(name, length),
                                       initialOwner != FALSE, existed, &error);
  if (mutex == nullptr) SetLastError(ERROR_ACCESS_DENIED);
  return mutex;
}

DWORD WaitResult(NamedMutexResult result) {
  switch (result) {
    case NamedMutexResult::Acquired:
      return WAIT_OBJECT_0;
    case NamedMutexResult::Abandoned:
      return WAIT_ABANDONED;
    case NamedMutexResult::Timeout:
      return WAIT_TIMEOUT;
    case NamedMutexResult::Failed:
      break;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

}  // namespace

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  bool existed = false;
  NamedMutex* mutex = nullptr;
  if (name == nullptr || name[0] == 0) {
    mutex = NamedMutexCreateLocal();
    if (mutex == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    if (initialOwner != FALSE) NamedMutexLock(mutex, 0);
  } else {
    mutex = OpenNamed(initialOwner, name, &existed);
    if (mutex == nullptr) return nullptr;
  }
  auto* object = new (std::nothrow) MutexObject{{HandleKind::Mutex, CloseMutexObject}, mutex};
  if (object == nullptr) {
    NamedMutexClose(mutex);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = HandleRegister(&object->header);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto* object = HandleGet<MutexObject>(mutex, HandleKind::Mutex);
  if (object == nullptr) return FALSE;
  if (!NamedMutexUnlock(object->mutex)) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD ms) {
  // Trying the mutex kind first must not leave its lookup error behind on success.
  DWORD previousError = GetLastError();
  if (auto* mutex = HandleGet<MutexObject>(object, HandleKind::Mutex)) {
    SetLastError(previousError);
    return WaitResult(NamedMutexLock(mutex->mutex, ms));
  }
  SetLastError(previousError);
  if (object == GetCurrentThread() || HandleLookup(object, HandleKind::Thread) != nullptr) {
    SetLastError(previousError);
    return ThreadWaitForEnd(object, ms);
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

void SyncResetForTests() {
  ThreadsResetForTests();
  FileMappingResetForTests();
}
