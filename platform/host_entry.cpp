#include "platform/host_entry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr const char* kAttributesName = "user.flashwright.attributes";
// "0x" and eight hex digits, with room for a terminator.
constexpr size_t kAttributesTextCapacity = 16;

constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kNanosecondsPerTick = 100;
constexpr uint32_t kFileTimeHalfBits = 32;

constexpr mode_t kAllWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

struct HostEntryState {
  bool refuseExtendedAttributes = false;
};

HostEntryState g_hostEntry;

FILETIME FileTimeFromTicks(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> kFileTimeHalfBits)};
}

FILETIME FileTimeFromStatx(const struct statx_timestamp& t) { return FileTimeFromHost(t.tv_sec, t.tv_nsec); }

void FillEntry(const struct statx& sx, HostEntry* entry) {
  entry->mode = sx.stx_mode;
  entry->size = sx.stx_size;
  entry->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  entry->ino = sx.stx_ino;
  entry->links = sx.stx_nlink;
  entry->accessTime = FileTimeFromStatx(sx.stx_atime);
  entry->writeTime = FileTimeFromStatx(sx.stx_mtime);
  // The host's birth time cannot be set, so a file copied or laid down with a
  // given date would show when it landed here; the write time travels with
  // the file instead.
  entry->creationTime = entry->writeTime;
}

bool StatxInto(int dirFd, const char* name, int flags, HostEntry* entry) {
  struct statx sx{};
  if (::statx(dirFd, name, flags | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return false;
  }
  FillEntry(sx, entry);
  return true;
}

// The attributes held in the extended attribute; 0 when absent, unreadable
// or not written by us.
DWORD StoredAttributes(int fd) {
  if (g_hostEntry.refuseExtendedAttributes) return 0;
  char text[kAttributesTextCapacity] = {};
  ssize_t length = ::fgetxattr(fd, kAttributesName, text, sizeof(text) - 1);
  if (length <= 0) return 0;
  text[length] = '\0';
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 16);
  // Anything else than a value we could have written is not ours to trust.
  if (end != text + length || (value & ~static_cast<unsigned long>(kSettableFileAttributes)) != 0) return 0;
  return static_cast<DWORD>(value);
}

// Writes (or, for nothing to keep, removes) the extended attribute. A host
// without extended attributes is not an error: those attributes are dropped.
bool StoreAttributes(int fd, DWORD attributes) {
  if (g_hostEntry.refuseExtendedAttributes) return true;
  int result;
  if (attributes == 0) {
    result = ::fremovexattr(fd, kAttributesName);
    if (result != 0 && errno == ENODATA) result = 0;
  } else {
    char text[kAttributesTextCapacity];
    int length = std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(attributes));
    result = ::fsetxattr(fd, kAttributesName, text, static_cast<size_t>(length), 0);
  }
  if (result != 0 && errno != ENOTSUP) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return false;
  }
  return true;
}

}  // namespace

bool HostEntryIsFile(const HostEntry& entry) { return S_ISREG(entry.mode); }
bool HostEntryIsFolder(const HostEntry& entry) { return S_ISDIR(entry.mode); }

bool HostEntryLinkedElsewhere(const HostEntry& entry) { return HostEntryIsFile(entry) && entry.links > 1; }

bool HostStatAt(int dirFd, const char* name, HostEntry* entry) { return StatxInto(dirFd, name, 0, entry); }

bool HostStatFd(int fd, HostEntry* entry) { return StatxInto(fd, "", AT_EMPTY_PATH, entry); }

DWORD HostErrorCode(int error, DWORD missing) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return missing;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:
    case EISDIR:
    case EXDEV:
    case EINVAL:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

void SetLastHostError(int error, DWORD missing) { SetLastError(HostErrorCode(error, missing)); }

FILETIME FileTimeFromHost(int64_t seconds, int64_t nanoseconds) {
  if (seconds < -kSecondsFrom1601To1970) return FileTimeFromTicks(0);
  uint64_t ticks = static_cast<uint64_t>(seconds + kSecondsFrom1601To1970) * kTicksPerSecond +
                   static_cast<uint64_t>(nanoseconds / kNanosecondsPerTick);
  return FileTimeFromTicks(ticks);
}

void FileTimeToHost(const FILETIME& time, int64_t* seconds, int64_t* nanoseconds) {
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << kFileTimeHalfBits) | time.dwLowDateTime;
  *seconds = static_cast<int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
  *nanoseconds = static_cast<int64_t>(ticks % kTicksPerSecond) * kNanosecondsPerTick;
}

int HostOpenEntry(int dirFd, const char* name, const HostEntry& entry) {
  // Non-blocking so that an entry swapped for a fifo cannot hang the open.
  int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (HostEntryIsFolder(entry) ? O_DIRECTORY : 0);
  int fd = ::openat(dirFd, name, flags);
  if (fd < 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return -1;
  }
  HostEntry now{};
  if (!HostStatFd(fd, &now) || now.dev != entry.dev || now.ino != entry.ino) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return fd;
}

DWORD HostAttributes(int fd, const HostEntry& entry) {
  DWORD attributes = StoredAttributes(fd);
  if (HostEntryIsFolder(entry)) {
    attributes |= FILE_ATTRIBUTE_DIRECTORY;
  } else {
    // A file's READONLY is its permission bit alone.
    attributes &= ~FILE_ATTRIBUTE_READONLY;
    if ((entry.mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  }
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool HostSetAttributes(int fd, const HostEntry& entry, DWORD attributes) {
  attributes &= kSettableFileAttributes;
  if (HostEntryIsFolder(entry)) return StoreAttributes(fd, attributes);
  mode_t mode = entry.mode & ALLPERMS;
  mode_t wanted = (attributes & FILE_ATTRIBUTE_READONLY) ? (mode & ~kAllWriteBits) : (mode | S_IWUSR);
  if (wanted != mode && ::fchmod(fd, wanted) != 0) {
    SetLastHostError(errno, ERROR_FILE_NOT_FOUND);
    return false;
  }
  return StoreAttributes(fd, attributes & ~FILE_ATTRIBUTE_READONLY);
}

void HostEntryRefuseExtendedAttributes(bool refuse) { g_hostEntry.refuseExtendedAttributes = refuse; }

void HostEntryReset() { g_hostEntry = HostEntryState{}; }
