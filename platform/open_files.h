// The files this process holds open, for share modes: a second open of the
// same host file must agree with every open handle's access and sharing.
#pragma once

#include "platform/types.h"

struct OpenFile {
  uint64_t dev;
  uint64_t ino;
  DWORD access;  // GENERIC_READ / GENERIC_WRITE of the handle
  DWORD share;   // FILE_SHARE_READ / FILE_SHARE_WRITE the handle grants
};

// Adds `file` unless it conflicts with an open one of the same host file
// (then false with ERROR_SHARING_VIOLATION). Check and add are one step, so
// two threads cannot both win a conflicting open. `file` stays the caller's
// and must be removed before it goes away.
bool OpenFilesAdd(OpenFile* file);
void OpenFilesRemove(OpenFile* file);

// Whether any handle of this process has the host file open.
bool OpenFilesContain(uint64_t dev, uint64_t ino);

void OpenFilesReset();
