// Module paths: parsing the module's spelling of a path and resolving it,
// one component at a time, inside the object store folder of the attached
// module.
//
// Resolution walks directory descriptors with openat and O_NOFOLLOW, never
// concatenated host paths, so a folder renamed or replaced by a link while
// we walk cannot lead us outside the object store.
#pragma once

#include <string>
#include <vector>

#include "platform/host_entry.h"
#include "platform/types.h"

// A path split into components, "." dropped and ".." applied.
struct ModulePathParts {
  std::vector<std::u16string> components;
};

// Flags of ModulePathResolve.
constexpr uint32_t kResolveNormal = 0;
// The last component is a search pattern: it may hold * and ?, and only the
// folder before it is looked up.
constexpr uint32_t kResolvePattern = 1;

// Checks and splits `path`. Fails with ERROR_INVALID_PARAMETER (null),
// ERROR_PATH_NOT_FOUND (empty), ERROR_FILENAME_EXCED_RANGE (MAX_PATH units or
// more, or a component the host cannot hold), ERROR_INVALID_NAME (bad
// characters, wildcards outside a pattern's last component, unpaired
// surrogates) or ERROR_ACCESS_DENIED (".." above the root). Touches nothing
// on the host.
bool ModulePathParse(const WCHAR* path, uint32_t flags, ModulePathParts* parts);

// Where a path leads. Owns `dirFd`.
struct ResolvedPath {
  int dirFd = -1;              // folder holding the last component (the root folder for the root)
  bool isRoot = false;         // the path names the object store root itself
  bool exists = false;         // the last component was found (always for the root)
  std::string hostName;        // last component: the entry's host name when found, else as given
  std::u16string givenName;    // last component as the caller spelled it
  HostEntry entry{};           // facts of the entry when it exists

  ResolvedPath() = default;
  ResolvedPath(const ResolvedPath&) = delete;
  ResolvedPath& operator=(const ResolvedPath&) = delete;
  ~ResolvedPath();
};

// Resolves `path` against the attached module's object store. Folders on the
// way must exist (else ERROR_PATH_NOT_FOUND); the last component may be
// missing (`exists` false). Links and entries other than files and folders
// are refused with ERROR_ACCESS_DENIED wherever they appear. Without an
// attached module, ERROR_PATH_NOT_FOUND.
bool ModulePathResolve(const WCHAR* path, uint32_t flags, ResolvedPath* out);

// The names in the folder `dirFd` that the module can spell (valid UTF-8),
// without "." and "..". Sets the last error on failure.
bool ModuleDirList(int dirFd, std::vector<std::string>* names);

// The host name in `dirFd` that the module's `name` refers to: the exact
// spelling when present, else an entry equal without regard to case (the
// lowest in byte order when several are). Fills `entry`. False when nothing
// matches (last error ERROR_FILE_NOT_FOUND) or on a host failure.
bool ModuleDirFind(int dirFd, const std::u16string& name, std::string* hostName, HostEntry* entry);
