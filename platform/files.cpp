// File handles: opening and creating files, and the calls on an open file.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iterator>
#include <new>

#include "platform/error.h"
#include "platform/files_internal.h"
#include "platform/handles.h"
#include "platform/host_entry.h"
#include "platform/module_path.h"
#include "platform/open_files.h"
#include "platform/storage_paths.h"
#include "platform/volume_files.h"

namespace {

constexpr DWORD kAccessRights = GENERIC_READ | GENERIC_WRITE;
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kAllWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
// A file created or deleted by someone else between our look and our open
// sends us round again; more than this and we give up.
constexpr int kOpenAttempts = 3;
constexpr uint32_t kHalfBits = 32;
constexpr uint64_t kLowHalfMask = 0xFFFFFFFF;

struct FileObject {
  HandleObject header;
  int fd;
  OpenFile open;
};

bool CloseFileObject(HandleObject* self) {
  auto* file = reinterpret_cast<FileObject*>(self);
  OpenFilesRemove(&file->open);
  int result = ::close(file->fd);
  int error = errno;
  delete file;
  // After EINTR the descriptor is gone all the same on Linux.
  if (result != 0 && error != EINTR) {
    SetLastError(error == EIO ? ERROR_WRITE_FAULT : HostErrorCode(error, ERROR_FILE_NOT_FOUND));
    return false;
  }
  return true;
}

FileObject* FileFromHandle(HANDLE handle) { return HandleGet<FileObject>(handle, HandleKind::File); }

int HostOpenFlags(DWORD access) {
  if ((access & kAccessRights) == kAccessRights) return O_RDWR;
  if (access & GENERIC_WRITE) return O_WRONLY;
  return O_RDONLY;
}

bool Truncates(DWORD creation) { return creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING; }

// Wraps an open descriptor into a handle, taking ownership of `fd` either
// way. Sharing is checked here, before anything about the file changes.
HANDLE MakeFileHandle(int fd, const HostEntry& entry, DWORD access, DWORD share) {
  auto* file = new (std::nothrow) FileObject{};
  if (file == nullptr) {
    ::close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->header.kind = HandleKind::File;
  file->header.close = CloseFileObject;
  file->fd = fd;
  file->open = OpenFile{entry.dev, entry.ino, access, share};
  if (!OpenFilesAdd(&file->open)) {
    ::close(fd);
    delete file;
    return INVALID_HANDLE_VALUE;
  }
  return HandleRegister(&file->header);
}

// Closes a handle made by MakeFileHandle after a later step failed, keeping
// that step's last error.
HANDLE DiscardFileHandle(HANDLE handle) {
  DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

HANDLE OpenExistingFile(const ResolvedPath& path, DWORD access, DWORD share, DWORD creation, DWORD attributes) {
  if (!HostEntryIsFile(path.entry)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // CREATE_ALWAYS replaces the content even through a read-only handle.
  DWORD hostAccess = Truncates(creation) ? access | GENERIC_WRITE : access;
  int fd = ::openat(path.dirFd, path.hostName.c_str(), HostOpenFlags(hostAccess) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Judge what was opened, not what was looked at: the entry may have been
  // replaced in between.
  HostEntry entry{};
  bool isFile = HostStatFd(fd, &entry) && HostEntryIsFile(entry);
  bool readOnly = (entry.mode & S_IWUSR) == 0;
  bool writes = (hostAccess & GENERIC_WRITE) != 0;
  if (isFile && writes && HostEntryLinkedElsewhere(entry)) {
    // The other name may lie outside the module, and a write must never
    // reach there. A file made anew takes the module's name for itself;
    // changing the shared file in place is refused.
    ::close(fd);
    if (creation == CREATE_ALWAYS && !readOnly && ::unlinkat(path.dirFd, path.hostName.c_str(), 0) == 0) {
      SetLastError(ERROR_FILE_NOT_FOUND);  // the caller looks again and creates it
    } else {
      SetLastError(ERROR_ACCESS_DENIED);
    }
    return INVALID_HANDLE_VALUE;
  }
  if (!isFile || (readOnly && writes)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  HANDLE handle = MakeFileHandle(fd, entry, access, share);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  if (Truncates(creation) && ::ftruncate(fd, 0) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return DiscardFileHandle(handle);
  }
  if (creation == CREATE_ALWAYS && !HostSetAttributes(fd, entry, attributes)) return DiscardFileHandle(handle);
  SetLastError(creation == OPEN_ALWAYS || creation == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

// Creates the file under the name as given. Sets `raced` when a file of that
// name appeared since the lookup.
HANDLE CreateNewFile(const ResolvedPath& path, DWORD access, DWORD share, DWORD attributes, bool* raced) {
  mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (kNewFileMode & ~kAllWriteBits) : kNewFileMode;
  const char* name = path.hostName.c_str();
  int fd = ::openat(path.dirFd, name, HostOpenFlags(access) | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    *raced = errno == EEXIST;
    SetLastHostError(errno, ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HostEntry entry{};
  if (!HostStatFd(fd, &entry) || !HostSetAttributes(fd, entry, attributes)) {
    DWORD error = GetLastError();
    ::close(fd);
    ::unlinkat(path.dirFd, name, 0);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = MakeFileHandle(fd, entry, access, share);
  if (handle != INVALID_HANDLE_VALUE) SetLastError(ERROR_SUCCESS);
  return handle;
}

int64_t PositionBase(int fd, DWORD method, bool* ok) {
  *ok = true;
  switch (method) {
    case FILE_BEGIN:
      return 0;
    case FILE_CURRENT:
      return ::lseek(fd, 0, SEEK_CUR);
    case FILE_END: {
      HostEntry entry{};
      if (HostStatFd(fd, &entry)) return static_cast<int64_t>(entry.size);
      break;
    }
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      break;
  }
  *ok = false;
  return 0;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
  (void)security;
  (void)templateFile;
  // The older OS opens stores as "\StoreMgr\<device name>", with access
  // and disposition 0.
  HANDLE store = INVALID_HANDLE_VALUE;
  if (StoragePathOpen(name, &store)) return store;
  if (creation < CREATE_NEW || creation > TRUNCATE_EXISTING ||
      (creation == TRUNCATE_EXISTING && !(access & GENERIC_WRITE))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  access &= kAccessRights;
  DWORD attributes = flagsAndAttributes & kSettableFileAttributes;
  HANDLE onVolume = INVALID_HANDLE_VALUE;
  if (VolumeCreateFile(name, access, share, creation, attributes, &onVolume)) return onVolume;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    ResolvedPath path;
    if (!ModulePathResolve(name, kResolveNormal, &path)) return INVALID_HANDLE_VALUE;
    if (path.isRoot) {
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    if (path.exists) {
      if (creation == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
      }
      HANDLE handle = OpenExistingFile(path, access, share, creation, attributes);
      // Gone since the lookup: look again, it may have to be created now.
      if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) continue;
      return handle;
    }
    if (creation == OPEN_EXISTING || creation == TRUNCATE_EXISTING) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    bool raced = false;
    HANDLE handle = CreateNewFile(path, access, share, attributes, &raced);
    if (handle != INVALID_HANDLE_VALUE || !raced) return handle;
    if (creation == CREATE_NEW) {
      SetLastError(ERROR_FILE_EXISTS);
      return INVALID_HANDLE_VALUE;
    }
  }
  // Still racing with someone else after several rounds: report the last
  // round's error.
  return INVALID_HANDLE_VALUE;
}

namespace {

// A read or write's own arguments, before its handle is looked at.
bool TransferArgumentsFit(LPCVOID buffer, DWORD count, LPOVERLAPPED overlapped) {
  if (overlapped == nullptr && (buffer != nullptr || count == 0)) return true;
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

// The checks a read and a write share: a file handle opened for `access`, a
// buffer for a non-empty transfer, no overlapped I/O. `done` starts at 0.
FileObject* FileForTransfer(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* done, LPOVERLAPPED overlapped,
                            DWORD access) {
  if (done != nullptr) *done = 0;
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return nullptr;
  if (overlapped != nullptr || (buffer == nullptr && count > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!(file->open.access & access)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return file;
}

}  // namespace

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* done, LPOVERLAPPED overlapped) {
  if (VolumeFileHandle(handle) && TransferArgumentsFit(buffer, count, overlapped)) {
    return VolumeReadFile(handle, buffer, count, done);
  }
  FileObject* file = FileForTransfer(handle, buffer, count, done, overlapped, GENERIC_READ);
  if (file == nullptr) return FALSE;
  auto* bytes = static_cast<uint8_t*>(buffer);
  DWORD total = 0;
  while (total < count) {
    ssize_t got = ::read(file->fd, bytes + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      SetLastError(errno == EIO ? ERROR_READ_FAULT : HostErrorCode(errno, ERROR_FILE_NOT_FOUND));
      if (done != nullptr) *done = total;
      return FALSE;
    }
    if (got == 0) break;
    total += static_cast<DWORD>(got);
  }
  if (done != nullptr) *done = total;
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* done, LPOVERLAPPED overlapped) {
  if (VolumeFileHandle(handle) && TransferArgumentsFit(buffer, count, overlapped)) {
    return VolumeWriteFile(handle, buffer, count, done);
  }
  FileObject* file = FileForTransfer(handle, buffer, count, done, overlapped, GENERIC_WRITE);
  if (file == nullptr) return FALSE;
  auto* bytes = static_cast<const uint8_t*>(buffer);
  DWORD total = 0;
  while (total < count) {
    ssize_t put = ::write(file->fd, bytes + total, count - total);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      // A write that makes no progress without an error is a full disk too.
      int error = put < 0 ? errno : ENOSPC;
      SetLastError(error == EIO ? ERROR_WRITE_FAULT : HostErrorCode(error, ERROR_FILE_NOT_FOUND));
      if (done != nullptr) *done = total;
      return FALSE;
    }
    total += static_cast<DWORD>(put);
  }
  if (done != nullptr) *done = total;
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* high, DWORD method) {
  if (VolumeFileHandle(handle)) return VolumeSetFilePointer(handle, distance, high, method);
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;
  if (high != nullptr) {
    uint64_t bits = (static_cast<uint64_t>(static_cast<uint32_t>(*high)) << kHalfBits) | static_cast<uint32_t>(distance);
    move = static_cast<int64_t>(bits);
  }
  bool ok = false;
  int64_t base = PositionBase(file->fd, method, &ok);
  if (!ok) return INVALID_SET_FILE_POINTER;
  int64_t target = 0;
  // Without a high half the caller could not see where it landed, so the
  // position must fit the low half.
  if (base < 0 || __builtin_add_overflow(base, move, &target) || target < 0 ||
      (high == nullptr && static_cast<uint64_t>(target) > kLowHalfMask)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (::lseek(file->fd, target, SEEK_SET) < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (high != nullptr) *high = static_cast<LONG>(static_cast<uint64_t>(target) >> kHalfBits);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(static_cast<uint64_t>(target) & kLowHalfMask);
}

BOOL SetEndOfFile(HANDLE handle) {
  if (VolumeFileHandle(handle)) return VolumeSetEndOfFile(handle);
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return FALSE;
  if (!(file->open.access & GENERIC_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  off_t position = ::lseek(file->fd, 0, SEEK_CUR);
  if (position < 0 || ::ftruncate(file->fd, position) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, DWORD* high) {
  if (VolumeFileHandle(handle)) return VolumeGetFileSize(handle, high);
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return INVALID_FILE_SIZE;
  HostEntry entry{};
  if (!HostStatFd(file->fd, &entry)) return INVALID_FILE_SIZE;
  if (high != nullptr) *high = static_cast<DWORD>(entry.size >> kHalfBits);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(entry.size & kLowHalfMask);
}

int FileHostDescriptor(HANDLE handle, DWORD access) {
  if (VolumeFileHandle(handle)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return -1;
  }
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return -1;
  if ((file->open.access & access) != access) {
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return file->fd;
}

BOOL FlushFileBuffers(HANDLE handle) {
  // Every call on a volume reaches the flash before it returns.
  if (VolumeFileHandle(handle)) return TRUE;
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return FALSE;
  if (::fsync(file->fd) != 0) {
    SetLastError(errno == EIO ? ERROR_WRITE_FAULT : HostErrorCode(errno, ERROR_FILE_NOT_FOUND));
    return FALSE;
  }
  return TRUE;
}

BOOL GetFileTime(HANDLE handle, FILETIME* creation, FILETIME* access, FILETIME* write) {
  if (VolumeFileHandle(handle)) return VolumeGetFileTime(handle, creation, access, write);
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return FALSE;
  HostEntry entry{};
  if (!HostStatFd(file->fd, &entry)) return FALSE;
  if (creation != nullptr) *creation = entry.creationTime;
  if (access != nullptr) *access = entry.accessTime;
  if (write != nullptr) *write = entry.writeTime;
  return TRUE;
}

BOOL SetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access, const FILETIME* write) {
  if (VolumeFileHandle(handle)) return VolumeSetFileTime(handle, creation, access, write);
  (void)creation;  // read back as the write time: the host cannot set a birth time
  FileObject* file = FileFromHandle(handle);
  if (file == nullptr) return FALSE;
  if (!(file->open.access & GENERIC_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  const FILETIME* wanted[2] = {access, write};
  for (size_t i = 0; i < std::size(times); ++i) {
    if (wanted[i] == nullptr) continue;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    FileTimeToHost(*wanted[i], &seconds, &nanoseconds);
    times[i].tv_sec = static_cast<time_t>(seconds);
    times[i].tv_nsec = static_cast<long>(nanoseconds);
  }
  if (::futimens(file->fd, times) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

HANDLE HostFileOpenForReading(const char* hostPath) {
  int fd = ::open(hostPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HostEntry entry{};
  if (!HostStatFd(fd, &entry) || !HostEntryIsFile(entry)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return MakeFileHandle(fd, entry, GENERIC_READ, FILE_SHARE_READ);
}

void FilesReset() { HostEntryReset(); }
