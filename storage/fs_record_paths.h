// The paths a file-level stream's records create, so that each record is
// judged against the ones before it: its folder must exist by then, and no
// path may be made both a file and a folder. Names compare as the FAT
// volume compares them, without regard to case.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

enum class FsPathKind : uint8_t { None, File, Folder };

struct FsPathSet {
  uint64_t* keys = nullptr;  // 0: an empty slot
  FsPathKind* kinds = nullptr;
  size_t capacity = 0;
  size_t count = 0;
};

// What `path` (its first `length` units) was made as so far.
FsPathKind FsPathSetFind(const FsPathSet& set, const WCHAR* path, size_t length);
// Records `path`; false when memory runs out.
bool FsPathSetAdd(FsPathSet* set, const WCHAR* path, size_t length, FsPathKind kind);
void FsPathSetFree(FsPathSet* set);

// A name the FAT volume holds as given: 1 to 255 units, no control
// characters, none of " * / : < > ? \ |, not ending in a dot or a blank
// (the volume would drop them and meet another name), not "." or "..".
bool FsNameFitsVolume(const WCHAR* name, size_t length);
