// Calls on names rather than open files: deleting, creating and removing
// folders, moving, attributes and free space.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/host_entry.h"
#include "platform/module_path.h"
#include "platform/open_files.h"
#include "platform/storage_paths.h"
#include "platform/text.h"
#include "platform/volume_files.h"

namespace {

constexpr mode_t kNewFolderMode = 0777;

// Resolves a path that must name an existing entry.
bool ResolveExisting(LPCWSTR name, ResolvedPath* path) {
  if (!ModulePathResolve(name, kResolveNormal, path)) return false;
  if (!path->exists) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  return true;
}

// A descriptor of the entry a resolved path names, for its attributes; -1
// with the last error set. The caller closes it.
int Duplicate(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) SetLastHostError(errno, ERROR_PATH_NOT_FOUND);
  return copy;
}

int OpenResolved(const ResolvedPath& path) {
  return path.isRoot ? Duplicate(path.dirFd) : HostOpenEntry(path.dirFd, path.hostName.c_str(), path.entry);
}

bool SameFolder(int a, int b) {
  HostEntry first{};
  HostEntry second{};
  return HostStatFd(a, &first) && HostStatFd(b, &second) && first.dev == second.dev && first.ino == second.ino;
}

// A file may take the place of `target` only when both are files and the
// target is neither read-only nor open anywhere on the module.
bool ReplaceableFile(const ResolvedPath& target, const ResolvedPath& source) {
  if (!HostEntryIsFile(target.entry) || !HostEntryIsFile(source.entry) || (target.entry.mode & S_IWUSR) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (OpenFilesContain(target.entry.dev, target.entry.ino)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return false;
  }
  return true;
}

}  // namespace

BOOL DeleteFileW(LPCWSTR name) {
  BOOL onVolume = FALSE;
  if (VolumeDeleteFile(name, &onVolume)) return onVolume;
  ResolvedPath path;
  if (!ResolveExisting(name, &path)) return FALSE;
  if (!HostEntryIsFile(path.entry) || (path.entry.mode & S_IWUSR) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (OpenFilesContain(path.entry.dev, path.entry.ino)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (::unlinkat(path.dirFd, path.hostName.c_str(), 0) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security) {
  (void)security;
  BOOL onVolume = FALSE;
  if (VolumeCreateDirectory(name, &onVolume)) return onVolume;
  ResolvedPath path;
  if (!ModulePathResolve(name, kResolveNormal, &path)) return FALSE;
  if (path.exists) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (::mkdirat(path.dirFd, path.hostName.c_str(), kNewFolderMode) != 0) {
    SetLastHostError(errno, ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR name) {
  BOOL onVolume = FALSE;
  if (VolumeRemoveDirectory(name, &onVolume)) return onVolume;
  ResolvedPath path;
  if (!ResolveExisting(name, &path)) return FALSE;
  if (path.isRoot) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!HostEntryIsFolder(path.entry)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  int fd = OpenResolved(path);
  if (fd < 0) return FALSE;
  DWORD attributes = HostAttributes(fd, path.entry);
  ::close(fd);
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (::unlinkat(path.dirFd, path.hostName.c_str(), AT_REMOVEDIR) != 0) {
    int error = errno;
    if (error == EEXIST) error = ENOTEMPTY;
    SetLastError(error == ENOTDIR ? ERROR_DIRECTORY : HostErrorCode(error, ERROR_FILE_NOT_FOUND));
    return FALSE;
  }
  return TRUE;
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target) { return MoveFileExW(existing, target, 0); }

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags) {
  BOOL onVolume = FALSE;
  if (VolumeMoveFile(existing, target, flags, &onVolume)) return onVolume;
  ResolvedPath from;
  if (!ResolveExisting(existing, &from)) return FALSE;
  ResolvedPath to;
  if (!ModulePathResolve(target, kResolveNormal, &to)) return FALSE;
  if (from.isRoot || to.isRoot) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (HostEntryIsFile(from.entry) && OpenFilesContain(from.entry.dev, from.entry.ino)) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  // The target name is taken as given; when it matched the source itself
  // only its case changes.
  std::string newName = Utf16ToUtf8(to.givenName);
  unsigned int renameFlags = RENAME_NOREPLACE;
  if (to.exists) {
    bool sameEntry = to.hostName == from.hostName && SameFolder(from.dirFd, to.dirFd);
    if (sameEntry) {
      if (newName == from.hostName) return TRUE;
    } else if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    } else if (!ReplaceableFile(to, from)) {
      return FALSE;
    } else {
      // The replaced file goes under its own spelling of the name.
      newName = to.hostName;
      renameFlags = 0;
    }
  }
  if (::renameat2(from.dirFd, from.hostName.c_str(), to.dirFd, newName.c_str(), renameFlags) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR name) {
  DWORD onVolume = INVALID_FILE_ATTRIBUTES;
  if (VolumeGetAttributes(name, &onVolume)) return onVolume;
  ResolvedPath path;
  if (!ResolveExisting(name, &path)) return INVALID_FILE_ATTRIBUTES;
  int fd = OpenResolved(path);
  // An entry we may look at but not open still has the attributes its mode
  // tells.
  DWORD attributes = HostAttributes(fd, path.entry);
  if (fd >= 0) ::close(fd);
  return attributes;
}

BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes) {
  BOOL onVolume = FALSE;
  if (VolumeSetAttributes(name, attributes, &onVolume)) return onVolume;
  ResolvedPath path;
  if (!ResolveExisting(name, &path)) return FALSE;
  if (path.isRoot) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  int fd = OpenResolved(path);
  if (fd < 0) return FALSE;
  HostEntry entry{};
  bool ok = HostStatFd(fd, &entry);
  // Another name may lie outside the module: its file's attributes are not ours to change.
  if (ok && HostEntryLinkedElsewhere(entry)) {
    SetLastError(ERROR_ACCESS_DENIED);
    ok = false;
  }
  ok = ok && HostSetAttributes(fd, entry, attributes);
  ::close(fd);
  return ok ? TRUE : FALSE;
}

BOOL GetDiskFreeSpaceExW(LPCWSTR path, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total, ULARGE_INTEGER* free) {
  // A mounted volume's folder answers for its partition.
  BOOL mounted = FALSE;
  if (StorageVolumeSpace(path, freeToCaller, total, free, &mounted)) return mounted;
  ResolvedPath resolved;
  if (!ModulePathResolve(path != nullptr ? path : u"\\", kResolveNormal, &resolved)) return FALSE;
  if (!resolved.exists) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  // A file's volume is its folder's.
  int fd = HostEntryIsFolder(resolved.entry) ? OpenResolved(resolved) : Duplicate(resolved.dirFd);
  if (fd < 0) return FALSE;
  struct statvfs volume{};
  int result = ::fstatvfs(fd, &volume);
  int error = errno;
  ::close(fd);
  if (result != 0) {
    SetLastHostError(error, ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  uint64_t unit = volume.f_frsize;
  if (freeToCaller != nullptr) freeToCaller->QuadPart = static_cast<uint64_t>(volume.f_bavail) * unit;
  if (total != nullptr) total->QuadPart = static_cast<uint64_t>(volume.f_blocks) * unit;
  if (free != nullptr) free->QuadPart = static_cast<uint64_t>(volume.f_bfree) * unit;
  return TRUE;
}
