// What the module sees of a host file or folder: kind, size, times and the
// file attributes, and how host failures read as the module's error codes.
//
// Attributes are kept where the host can hold them:
// - READONLY of a file is the owner's write permission bit, so host tools and
//   the module agree on it.
// - Everything else (and READONLY of a folder) lives in the extended
//   attribute user.flashwright.attributes as text ("0x22"); no attribute
//   removes it.
// - On a host file system that refuses extended attributes only a file's
//   READONLY is kept; the other attributes are dropped without an error.
#pragma once

#include <string>

#include "platform/types.h"

struct HostEntry {
  uint32_t mode;     // host st_mode (kind and permission bits)
  uint64_t size;
  uint64_t dev;
  uint64_t ino;
  uint32_t links;  // names the host file has; more than one may lie outside the module
  FILETIME creationTime;  // the write time: the host cannot set a birth time
  FILETIME accessTime;
  FILETIME writeTime;
};

bool HostEntryIsFile(const HostEntry& entry);
bool HostEntryIsFolder(const HostEntry& entry);
// A file with another name besides the module's (a hard link made on the
// host): what is written to it may show outside the module.
bool HostEntryLinkedElsewhere(const HostEntry& entry);

// Facts of the entry `name` in `dirFd` (links not followed) or of an open
// descriptor. Set the last error on failure.
bool HostStatAt(int dirFd, const char* name, HostEntry* entry);
bool HostStatFd(int fd, HostEntry* entry);

// The module's error code for a host errno. `missing` is what ENOENT means
// to the caller (a missing file or a missing folder on the way).
DWORD HostErrorCode(int error, DWORD missing);
// SetLastError(HostErrorCode(...)), for one-line failure returns.
void SetLastHostError(int error, DWORD missing);

// 100-ns ticks since 1601 and back; host times before 1601 read as 0.
FILETIME FileTimeFromHost(int64_t seconds, int64_t nanoseconds);
void FileTimeToHost(const FILETIME& time, int64_t* seconds, int64_t* nanoseconds);

// Opens an entry known to be a file or folder so its attributes can be read
// or set; refuses links and anything that changed kind since `entry` was
// taken. Returns -1 with the last error set.
int HostOpenEntry(int dirFd, const char* name, const HostEntry& entry);

// The module's attributes of an open file or folder described by `entry`.
DWORD HostAttributes(int fd, const HostEntry& entry);

// Stores the settable part of `attributes` on an open file or folder.
bool HostSetAttributes(int fd, const HostEntry& entry, DWORD attributes);

// Test hook: behave as if the host refused extended attributes.
void HostEntryRefuseExtendedAttributes(bool refuse);
void HostEntryReset();
