#include "platform/open_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "module/byte_lock.h"
#include "module/module_dir.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/platform.h"

namespace {

// One byte each in the lock file. The guard is held exclusively while a
// handle checks and registers; the others are held shared for as long as a
// handle is open.
enum LockByte : off_t { kGuard, kOpen, kReads, kWrites, kRefusesReads, kRefusesWrites };

constexpr mode_t kLockFileMode = 0666;

std::string LockFilePath(uint64_t dev, uint64_t ino) {
  const Module* module = PlatformModule();
  if (module == nullptr) return "";
  char name[64];
  std::snprintf(name, sizeof name, "/open-%llx-%llx", static_cast<unsigned long long>(dev),
                static_cast<unsigned long long>(ino));
  return ModuleLocksPath(module->dir) + name;
}

// One side asks for an access the holders refuse, or refuses an access the
// holders have.
bool Conflicts(int fd, DWORD access, DWORD share) {
  if ((access & GENERIC_READ) && ByteLockHeldByOthers(fd, kRefusesReads)) return true;
  if ((access & GENERIC_WRITE) && ByteLockHeldByOthers(fd, kRefusesWrites)) return true;
  if (!(share & FILE_SHARE_READ) && ByteLockHeldByOthers(fd, kReads)) return true;
  if (!(share & FILE_SHARE_WRITE) && ByteLockHeldByOthers(fd, kWrites)) return true;
  return false;
}

bool TakeSharedLocks(int fd, DWORD access, DWORD share) {
  bool ok = ByteLock(fd, kOpen, F_RDLCK, false);
  // A handle that neither reads nor writes takes no part in sharing.
  if (access == 0) return ok;
  if (access & GENERIC_READ) ok = ok && ByteLock(fd, kReads, F_RDLCK, false);
  if (access & GENERIC_WRITE) ok = ok && ByteLock(fd, kWrites, F_RDLCK, false);
  if (!(share & FILE_SHARE_READ)) ok = ok && ByteLock(fd, kRefusesReads, F_RDLCK, false);
  if (!(share & FILE_SHARE_WRITE)) ok = ok && ByteLock(fd, kRefusesWrites, F_RDLCK, false);
  return ok;
}

}  // namespace

bool OpenFilesAdd(OpenFile* file) {
  std::string path = LockFilePath(file->dev, file->ino);
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kLockFileMode);
  if (fd < 0 || !ByteLock(fd, kGuard, F_WRLCK, true)) {
    if (fd >= 0) ::close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  bool conflict = file->access != 0 && Conflicts(fd, file->access, file->share);
  bool taken = !conflict && TakeSharedLocks(fd, file->access, file->share);
  ByteLock(fd, kGuard, F_UNLCK, false);
  if (!taken) {
    ::close(fd);
    SetLastError(conflict ? ERROR_SHARING_VIOLATION : ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  file->lockFd = fd;
  return true;
}

void OpenFilesRemove(OpenFile* file) {
  // Closing the descriptor drops every lock it holds.
  if (file->lockFd >= 0) ::close(file->lockFd);
  file->lockFd = -1;
}

bool OpenFilesContain(uint64_t dev, uint64_t ino) {
  std::string path = LockFilePath(dev, ino);
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  bool open = ByteLockHeldByOthers(fd, kOpen);
  ::close(fd);
  return open;
}
