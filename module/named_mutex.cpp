// One MutexCore per lock file and process, shared by all handles of the
// process. Inside the process a std::mutex and condition variable keep the
// owner thread and recursion count; across processes two one-byte locks on
// the lock file (open-file-description locks, which the kernel drops when a
// process dies) say who owns the mutex and which processes have it open.
// While owned, the file holds "pid tid"; a proper release puts a zero byte
// over its start, so an owner that finds it filled knows the previous owner
// ended holding it. Only the first bytes are ever rewritten: changing the
// file's size costs the file system far more than the lock itself.
//
// A forked child inherits the parent's descriptor and with it the parent's
// locks; the first use in the child therefore opens a descriptor of its own
// and starts without ownership. Forking while another thread is inside these
// calls is not supported.
#include "module/named_mutex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "module/byte_lock.h"
#include "module/object_name.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kWaitForever = 0xFFFFFFFF;
constexpr uint32_t kMaxRecursion = 0xFFFFFFFF;
constexpr off_t kOwnerByte = 0;
constexpr off_t kPresenceByte = 1;
constexpr mode_t kLockFileMode = 0666;
// The kernel offers no wake-up when another process lets go of a byte lock,
// so a waiter looks again this often.
constexpr auto kCrossProcessPoll = std::chrono::milliseconds(2);
constexpr size_t kRecordChars = 32;

struct MutexCore {
  std::string path;  // lock file; empty for a process-local mutex
  std::pair<dev_t, ino_t> fileId{};
  std::mutex lock;
  std::condition_variable released;
  int fd = -1;
  pid_t pid = 0;    // process that opened fd
  pid_t owner = 0;  // owning thread of this process, 0 when no thread here owns it
  uint32_t recursion = 0;
  bool abandoned = false;  // process-local mutexes; a lock file records it for the others
  bool broken = false;     // a forked child could not open a descriptor of its own
  uint32_t refs = 0;       // handles, plus one while a thread owns it; under the registry lock
};

struct NamedMutexState {
  std::mutex lock;
  std::map<std::pair<dev_t, ino_t>, MutexCore*> byFile;
};

NamedMutexState g_namedMutex;

void AbandonOwned(std::vector<MutexCore*>* cores);

// The mutexes the thread owns, so that its end can abandon them.
struct OwnedMutexes {
  std::vector<MutexCore*> cores;
  ~OwnedMutexes() { AbandonOwned(&cores); }
};

thread_local OwnedMutexes t_owned;

bool HeldElsewhere(int err) { return err == EAGAIN || err == EACCES; }

// Of one width, so a record never leaves the tail of a longer one behind.
bool WriteRecord(int fd, pid_t tid) {
  char text[kRecordChars];
  int length =
      std::snprintf(text, sizeof text, "%10d %10d\n", static_cast<int>(::getpid()), static_cast<int>(tid));
  return ::pwrite(fd, text, length, 0) == length;
}

bool ClearRecord(int fd) {
  const char none = 0;
  return ::pwrite(fd, &none, 1, 0) == 1;
}

// An empty file is released too: that is how a new one starts.
bool RecordFilled(int fd) {
  char first = 0;
  return ::pread(fd, &first, 1, 0) == 1 && first != 0;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

void Unref(MutexCore* core) {
  bool last = false;
  {
    std::lock_guard<std::mutex> guard(g_namedMutex.lock);
    last = --core->refs == 0;
    if (last && !core->path.empty()) {
      auto it = g_namedMutex.byFile.find(core->fileId);
      if (it != g_namedMutex.byFile.end() && it->second == core) g_namedMutex.byFile.erase(it);
    }
  }
  if (!last) return;
  if (core->fd >= 0) ::close(core->fd);
  delete core;
}

void RecordOwnership(MutexCore* core) {
  {
    std::lock_guard<std::mutex> guard(g_namedMutex.lock);
    ++core->refs;
  }
  t_owned.cores.push_back(core);
}

void ForgetOwnership(MutexCore* core) {
  auto& cores = t_owned.cores;
  for (auto it = cores.begin(); it != cores.end(); ++it) {
    if (*it == core) {
      cores.erase(it);
      break;
    }
  }
  Unref(core);
}

// Called with core->lock held.
void AdoptAfterFork(MutexCore* core) {
  pid_t self = ::getpid();
  if (core->pid == self) return;
  core->pid = self;
  core->owner = 0;
  core->recursion = 0;
  core->abandoned = false;
  if (core->path.empty()) return;
  int fd = ::open(core->path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
  if (fd >= 0 && !ByteLock(fd, kPresenceByte, F_RDLCK, true)) {
    ::close(fd);
    fd = -1;
  }
  // Closing the inherited copy leaves the parent's locks alone: it still has the description open.
  if (core->fd >= 0) ::close(core->fd);
  core->fd = fd;
  core->broken = fd < 0;
}

// Called with core->lock held and no thread of this process owning the mutex.
// Timeout means another process holds it.
NamedMutexResult TryTake(MutexCore* core, pid_t tid) {
  bool abandoned = core->abandoned;
  if (core->fd >= 0) {
    if (!ByteLock(core->fd, kOwnerByte, F_WRLCK, false)) {
      return HeldElsewhere(errno) ? NamedMutexResult::Timeout : NamedMutexResult::Failed;
    }
    abandoned = RecordFilled(core->fd);
    if (!WriteRecord(core->fd, tid)) {
      ByteLock(core->fd, kOwnerByte, F_UNLCK, false);
      return NamedMutexResult::Failed;
    }
  }
  core->abandoned = false;
  core->owner = tid;
  core->recursion = 1;
  return abandoned ? NamedMutexResult::Abandoned : NamedMutexResult::Acquired;
}

// Called with core->lock held by the owner's side.
void GiveUp(MutexCore* core, bool abandoned) {
  if (core->fd >= 0) {
    // An abandoning owner leaves its record behind for whoever takes the mutex next.
    if (!abandoned) ClearRecord(core->fd);
    ByteLock(core->fd, kOwnerByte, F_UNLCK, false);
  } else {
    core->abandoned = abandoned;
  }
  core->owner = 0;
  core->recursion = 0;
  core->released.notify_all();
}

void AbandonOwned(std::vector<MutexCore*>* cores) {
  std::vector<MutexCore*> owned;
  owned.swap(*cores);
  pid_t tid = ::gettid();
  pid_t self = ::getpid();
  for (MutexCore* core : owned) {
    {
      std::lock_guard<std::mutex> guard(core->lock);
      if (core->pid == self && core->owner == tid) GiveUp(core, true);
    }
    Unref(core);
  }
}

// A new core for the lock file open on `fd`, with this process's presence
// marked. Called with the registry lock held.
MutexCore* OpenCore(const std::string& path, int fd, std::pair<dev_t, ino_t> fileId, bool initialOwner,
                    bool* existed, bool* owned, std::string* error) {
  bool alone = ByteLock(fd, kPresenceByte, F_WRLCK, false);
  if (!alone && !HeldElsewhere(errno)) {
    *error = SystemError("cannot lock", path);
    return nullptr;
  }
  pid_t tid = ::gettid();
  *owned = false;
  if (alone) {
    // No process has the mutex: whatever a dead owner left belongs to a mutex that is gone.
    if (!ClearRecord(fd)) {
      *error = SystemError("cannot reset", path);
      return nullptr;
    }
    if (initialOwner) {
      if (!ByteLock(fd, kOwnerByte, F_WRLCK, false) || !WriteRecord(fd, tid)) {
        *error = SystemError("cannot take", path);
        return nullptr;
      }
      *owned = true;
    }
  }
  // Turning the exclusive mark into a shared one is atomic, so no other
  // opener slips in between the check and the mark; a shared request waits
  // out another opener's brief check.
  if (!ByteLock(fd, kPresenceByte, F_RDLCK, true)) {
    *error = SystemError("cannot lock", path);
    return nullptr;
  }
  MutexCore* core = new (std::nothrow) MutexCore;
  if (core == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  core->path = path;
  core->fileId = fileId;
  core->fd = fd;
  core->pid = ::getpid();
  if (*owned) {
    core->owner = tid;
    core->recursion = 1;
  }
  *existed = !alone;
  return core;
}

}  // namespace

struct NamedMutex {
  MutexCore* core;
};

NamedMutex* NamedMutexCreate(const std::string& locksDir, const std::u16string& name, bool initialOwner,
                             bool* existed, std::string* error) {
  if (name.empty()) {
    *error = "a named mutex needs a name";
    return nullptr;
  }
  std::string path = locksDir + "/" + ModuleObjectFileName(name);
  auto* handle = new (std::nothrow) NamedMutex{nullptr};
  if (handle == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    *error = SystemError("cannot open lock file", path);
    if (fd >= 0) ::close(fd);
    delete handle;
    return nullptr;
  }
  // Keyed by the file itself, so two spellings of one folder still share one core.
  std::pair<dev_t, ino_t> fileId{st.st_dev, st.st_ino};
  bool owned = false;
  MutexCore* core = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_namedMutex.lock);
    auto it = g_namedMutex.byFile.find(fileId);
    if (it != g_namedMutex.byFile.end()) {
      core = it->second;
      ++core->refs;
      *existed = true;
    } else {
      core = OpenCore(path, fd, fileId, initialOwner, existed, &owned, error);
      if (core != nullptr) {
        core->refs = owned ? 2 : 1;
        g_namedMutex.byFile[fileId] = core;
        fd = -1;
      }
    }
  }
  if (fd >= 0) ::close(fd);
  if (core == nullptr) {
    delete handle;
    return nullptr;
  }
  if (owned) {
    t_owned.cores.push_back(core);
  } else {
    std::lock_guard<std::mutex> guard(core->lock);
    AdoptAfterFork(core);
  }
  handle->core = core;
  return handle;
}

NamedMutex* NamedMutexOpen(const std::string& locksDir, const std::u16string& name, bool* existed,
                           std::string* error) {
  return NamedMutexCreate(locksDir, name, false, existed, error);
}

NamedMutex* NamedMutexCreateLocal() {
  auto* handle = new (std::nothrow) NamedMutex{nullptr};
  auto* core = new (std::nothrow) MutexCore;
  if (handle == nullptr || core == nullptr) {
    delete handle;
    delete core;
    return nullptr;
  }
  core->pid = ::getpid();
  core->refs = 1;
  handle->core = core;
  return handle;
}

NamedMutexResult NamedMutexLock(NamedMutex* mutex, uint32_t timeoutMs) {
  if (mutex == nullptr || mutex->core == nullptr) return NamedMutexResult::Failed;
  MutexCore* core = mutex->core;
  pid_t tid = ::gettid();
  bool forever = timeoutMs == kWaitForever;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  NamedMutexResult result = NamedMutexResult::Failed;
  {
    std::unique_lock<std::mutex> guard(core->lock);
    AdoptAfterFork(core);
    if (core->broken) return NamedMutexResult::Failed;
    if (core->owner == tid) {
      if (core->recursion == kMaxRecursion) return NamedMutexResult::Failed;
      ++core->recursion;
      return NamedMutexResult::Acquired;
    }
    for (;;) {
      if (core->owner == 0) {
        result = TryTake(core, tid);
        if (result != NamedMutexResult::Timeout) break;
      }
      Clock::time_point now = Clock::now();
      if (!forever && now >= deadline) return NamedMutexResult::Timeout;
      if (core->owner != 0) {
        // A thread of this process owns it: its release or end wakes us.
        if (forever) {
          core->released.wait(guard);
        } else {
          core->released.wait_until(guard, deadline);
        }
      } else {
        Clock::time_point until = now + kCrossProcessPoll;
        if (!forever && deadline < until) until = deadline;
        core->released.wait_until(guard, until);
      }
    }
  }
  if (result == NamedMutexResult::Failed) return result;
  RecordOwnership(core);
  return result;
}

bool NamedMutexUnlock(NamedMutex* mutex) {
  if (mutex == nullptr || mutex->core == nullptr) return false;
  MutexCore* core = mutex->core;
  pid_t tid = ::gettid();
  {
    std::lock_guard<std::mutex> guard(core->lock);
    AdoptAfterFork(core);
    if (core->owner != tid || core->recursion == 0) return false;
    if (--core->recursion > 0) return true;
    GiveUp(core, false);
  }
  ForgetOwnership(core);
  return true;
}

void NamedMutexClose(NamedMutex* mutex) {
  if (mutex == nullptr) return;
  if (mutex->core != nullptr) Unref(mutex->core);
  delete mutex;
}

void NamedMutexThreadExit() { AbandonOwned(&t_owned.cores); }
