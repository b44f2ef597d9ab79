// Each thread made here has a ThreadRecord shared by its handle and the
// running thread; whichever lets go last frees it, so closing the handle of a
// running thread is safe. The threads run detached.
#include "platform/threads.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "module/named_mutex.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/handles.h"
#include "platform/sync.h"

namespace {

// The pseudo-handle value the platform gives the current thread.
HANDLE const kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(~uintptr_t{1});
// The handle and the running thread.
constexpr uint32_t kRecordOwners = 2;

struct ThreadRecord {
  std::mutex lock;
  std::condition_variable changed;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
  DWORD id = 0;
  bool started = false;
  bool ended = false;
  DWORD exitCode = STILL_ACTIVE;
  int priority = CE_THREAD_PRIORITY_NORMAL;
  uint32_t refs = kRecordOwners;
};

struct ThreadObject {
  HandleObject header;
  ThreadRecord* record;
};

// A thread not made by CreateThread keeps its priority here.
thread_local int t_ownPriority = CE_THREAD_PRIORITY_NORMAL;
// The record of a thread made by CreateThread, while it runs.
thread_local ThreadRecord* t_record = nullptr;

void ReleaseRecord(ThreadRecord* record) {
  bool last = false;
  {
    std::lock_guard<std::mutex> guard(record->lock);
    last = --record->refs == 0;
  }
  if (last) delete record;
}

bool CloseThreadObject(HandleObject* self) {
  auto* object = reinterpret_cast<ThreadObject*>(self);
  ReleaseRecord(object->record);
  delete object;
  return true;
}

void* ThreadMain(void* arg) {
  auto* record = static_cast<ThreadRecord*>(arg);
  t_record = record;
  {
    std::lock_guard<std::mutex> guard(record->lock);
    record->id = static_cast<DWORD>(::gettid());
    record->started = true;
    record->changed.notify_all();
  }
  DWORD exitCode = record->start(record->param);
  // Mutexes the thread still owns are abandoned before anyone learns it ended.
  NamedMutexThreadExit();
  t_record = nullptr;
  {
    std::lock_guard<std::mutex> guard(record->lock);
    record->exitCode = exitCode;
    record->ended = true;
    record->changed.notify_all();
  }
  ReleaseRecord(record);
  return nullptr;
}

// The record behind a thread handle, the pseudo-handle included (null then:
// the caller uses the calling thread's own state). False when invalid.
bool LookUp(HANDLE thread, ThreadRecord** record) {
  if (thread == kCurrentThreadPseudoHandle) {
    *record = t_record;
    return true;
  }
  auto* object = HandleGet<ThreadObject>(thread, HandleKind::Thread);
  if (object == nullptr) return false;
  *record = object->record;
  return true;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                    DWORD* threadId) {
  if (start == nullptr || (flags & ~(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if ((flags & CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto* record = new (std::nothrow) ThreadRecord;
  auto* object = new (std::nothrow) ThreadObject{{HandleKind::Thread, CloseThreadObject}, record};
  if (record == nullptr || object == nullptr) {
    delete record;
    delete object;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  record->start = start;
  record->param = param;
  pthread_attr_t attr;
  pthread_t native;
  bool made = ::pthread_attr_init(&attr) == 0;
  if (made) {
    made = ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
           ::pthread_create(&native, &attr, ThreadMain, record) == 0;
    ::pthread_attr_destroy(&attr);
  }
  if (!made) {
    delete record;
    delete object;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // The id is the new thread's own, known only once it runs.
  DWORD id = 0;
  {
    std::unique_lock<std::mutex> guard(record->lock);
    record->changed.wait(guard, [record] { return record->started; });
    id = record->id;
  }
  if (threadId != nullptr) *threadId = id;
  return HandleRegister(&object->header);
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode) {
  ThreadRecord* record = nullptr;
  if (!LookUp(thread, &record)) return FALSE;
  if (exitCode == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (record == nullptr) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  std::lock_guard<std::mutex> guard(record->lock);
  *exitCode = record->exitCode;
  return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

HANDLE GetCurrentThread() { return kCurrentThreadPseudoHandle; }

int CeGetThreadPriority(HANDLE thread) {
  ThreadRecord* record = nullptr;
  if (!LookUp(thread, &record)) return THREAD_PRIORITY_ERROR_RETURN;
  if (record == nullptr) return t_ownPriority;
  std::lock_guard<std::mutex> guard(record->lock);
  return record->priority;
}

BOOL CeSetThreadPriority(HANDLE thread, int priority) {
  ThreadRecord* record = nullptr;
  if (!LookUp(thread, &record)) return FALSE;
  if (priority < CE_THREAD_PRIORITY_HIGHEST || priority > CE_THREAD_PRIORITY_LOWEST) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (record == nullptr) {
    t_ownPriority = priority;
    return TRUE;
  }
  std::lock_guard<std::mutex> guard(record->lock);
  record->priority = priority;
  return TRUE;
}

DWORD ThreadWaitForEnd(HANDLE thread, DWORD ms) {
  ThreadRecord* record = nullptr;
  if (!LookUp(thread, &record)) return WAIT_FAILED;
  // A thread waiting for its own end would never wake.
  if (record == nullptr || record == t_record) {
    if (ms == INFINITE) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    Sleep(ms);
    return WAIT_TIMEOUT;
  }
  std::unique_lock<std::mutex> guard(record->lock);
  auto ended = [record] { return record->ended; };
  if (ms == INFINITE) {
    record->changed.wait(guard, ended);
    return WAIT_OBJECT_0;
  }
  return record->changed.wait_for(guard, std::chrono::milliseconds(ms), ended) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

void ThreadsResetForTests() { t_ownPriority = CE_THREAD_PRIORITY_NORMAL; }
