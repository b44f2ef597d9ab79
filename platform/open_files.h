// Share modes of open files across every process on the module: a second
// open of the same host file must agree with every open handle's access and
// sharing, whoever holds it.
//
// Beside each open handle the process holds a descriptor of a lock file
// (locks/open-DEV-INO of the module) with shared byte locks that say what
// the handle does (reads, writes) and what it refuses to others (reading,
// writing). Open-file-description locks belong to that descriptor, so they
// tell handles apart inside one process as well as across processes, and
// the kernel drops them when a process dies.
#pragma once

#include "platform/types.h"

struct OpenFile {
  uint64_t dev;
  uint64_t ino;
  DWORD access;    // GENERIC_READ / GENERIC_WRITE of the handle
  DWORD share;     // FILE_SHARE_READ / FILE_SHARE_WRITE the handle grants
  int lockFd = -1;  // the lock file, while the handle is open
};

// Registers `file` unless it conflicts with an open handle of the same host
// file (then false with ERROR_SHARING_VIOLATION). Check and registration are
// one step, so two threads or processes cannot both win a conflicting open.
// False with ERROR_NOT_ENOUGH_MEMORY when no lock file can be had.
bool OpenFilesAdd(OpenFile* file);
void OpenFilesRemove(OpenFile* file);

// Whether any handle on the module has the host file open.
bool OpenFilesContain(uint64_t dev, uint64_t ino);
