// Searching a folder by a name pattern.
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/find_names.h"
#include "platform/handles.h"
#include "platform/host_entry.h"
#include "platform/module_path.h"
#include "platform/storage_paths.h"
#include "platform/text.h"
#include "platform/volume_files.h"

namespace {

constexpr WCHAR kAnyRun = u'*';
constexpr WCHAR kAnyOne = u'?';
constexpr WCHAR kDot = u'.';
constexpr std::u16string_view kAnyExtension = u".*";
constexpr uint32_t kHalfBits = 32;
constexpr uint64_t kLowHalfMask = 0xFFFFFFFF;

struct FindObject {
  HandleObject header;
  int dirFd;
  // Matching names taken when the search began; each is looked at again
  // when its turn comes, so one deleted meanwhile is skipped.
  std::vector<std::string> names;
  size_t next;
};

bool CloseFindObject(HandleObject* self) {
  auto* find = reinterpret_cast<FindObject*>(self);
  ::close(find->dirFd);
  delete find;
  return true;
}

bool SameLetter(WCHAR a, WCHAR b) { return TextToLower(a) == TextToLower(b); }

// * spans any run of units and ? one unit, without regard to case. On a
// mismatch only the latest * takes one more unit, which bounds the work by
// the product of the two lengths.
bool WildcardMatch(std::u16string_view name, std::u16string_view pattern) {
  constexpr size_t kNoStar = std::u16string_view::npos;
  size_t n = 0;
  size_t p = 0;
  size_t starAt = kNoStar;
  size_t starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == kAnyRun) {
      starAt = p++;
      starName = n;
    } else if (p < pattern.size() && (pattern[p] == kAnyOne || SameLetter(pattern[p], name[n]))) {
      ++n;
      ++p;
    } else if (starAt != kNoStar) {
      p = starAt + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == kAnyRun) ++p;
  return p == pattern.size();
}

}  // namespace

// The module keeps the old rule that "name.*" also finds "name" without an
// extension, which is what makes "*.*" find everything.
bool NameMatches(std::u16string_view name, std::u16string_view pattern) {
  if (WildcardMatch(name, pattern)) return true;
  bool anyExtension = pattern.size() >= kAnyExtension.size() &&
                      pattern.substr(pattern.size() - kAnyExtension.size()) == kAnyExtension;
  return anyExtension && name.find(kDot) == std::u16string_view::npos &&
         WildcardMatch(name, pattern.substr(0, pattern.size() - kAnyExtension.size()));
}

namespace {

void FillFindData(const std::string& name, const HostEntry& entry, DWORD attributes, WIN32_FIND_DATAW* data) {
  *data = WIN32_FIND_DATAW{};
  data->dwFileAttributes = attributes;
  data->ftCreationTime = entry.creationTime;
  data->ftLastAccessTime = entry.accessTime;
  data->ftLastWriteTime = entry.writeTime;
  data->nFileSizeHigh = static_cast<DWORD>(entry.size >> kHalfBits);
  data->nFileSizeLow = static_cast<DWORD>(entry.size & kLowHalfMask);
  data->dwOID = static_cast<DWORD>(entry.ino & kLowHalfMask);
  TextCopyUtf8(data->cFileName, MAX_PATH, name);
}

// Reports the next name still present as a file or folder; false at the end.
bool ReportNext(FindObject* find, WIN32_FIND_DATAW* data) {
  while (find->next < find->names.size()) {
    const std::string& name = find->names[find->next++];
    HostEntry entry{};
    if (!HostStatAt(find->dirFd, name.c_str(), &entry)) continue;
    if (!HostEntryIsFile(entry) && !HostEntryIsFolder(entry)) continue;
    int fd = HostOpenEntry(find->dirFd, name.c_str(), entry);
    DWORD attributes = HostAttributes(fd, entry);
    if (fd >= 0) ::close(fd);
    FillFindData(name, entry, attributes, data);
    return true;
  }
  return false;
}

}  // namespace

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // "\StoreMgr" searches the stores; the record is then a STOREINFO.
  HANDLE stores = INVALID_HANDLE_VALUE;
  if (StoragePathSearch(pattern, data, &stores)) return stores;
  HANDLE onVolume = INVALID_HANDLE_VALUE;
  if (VolumeFindFirst(pattern, data, &onVolume)) return onVolume;
  ResolvedPath path;
  if (!ModulePathResolve(pattern, kResolvePattern, &path)) return INVALID_HANDLE_VALUE;
  std::vector<std::string> names;
  if (!path.isRoot && !ModuleDirList(path.dirFd, &names)) return INVALID_HANDLE_VALUE;
  std::erase_if(names, [&](const std::string& name) { return !NameMatches(Utf8ToUtf16(name), path.givenName); });
  std::sort(names.begin(), names.end());
  auto* find = new (std::nothrow) FindObject{};
  if (find == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  find->header.kind = HandleKind::Find;
  find->header.close = CloseFindObject;
  find->dirFd = path.dirFd;
  path.dirFd = -1;
  find->names = std::move(names);
  find->next = 0;
  if (!ReportNext(find, data)) {
    CloseFindObject(&find->header);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return HandleRegister(&find->header);
}

BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data) {
  BOOL result = FALSE;
  if (StorageSearchNext(search, data, &result)) return result;
  if (VolumeFindNext(search, data, &result)) return result;
  auto* find = HandleGet<FindObject>(search, HandleKind::Find);
  if (find == nullptr) return FALSE;
  if (data == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!ReportNext(find, data)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE search) {
  BOOL result = FALSE;
  if (StorageSearchClose(search, &result)) return result;
  HandleKind kind = HandlePeekKind(search) == HandleKind::VolumeFind ? HandleKind::VolumeFind : HandleKind::Find;
  HandleObject* object = HandleUnregister(search, kind);
  if (object == nullptr) return FALSE;
  return object->close(object) ? TRUE : FALSE;
}
