#include "platform/volume_files.h"

#include <algorithm>
#include <new>
#include <vector>

#include "platform/error.h"
#include "platform/find_names.h"
#include "platform/handles.h"
#include "platform/module_path.h"
#include "platform/open_files.h"
#include "platform/text.h"
#include "platform/volume_access.h"

namespace {

constexpr uint32_t kHalfBits = 32;
constexpr uint64_t kLowHalfMask = 0xFFFFFFFF;
constexpr DWORD kAccessRights = GENERIC_READ | GENERIC_WRITE;

struct VolumeFile {
  HandleObject header;
  VolumePlace place;
  uint64_t position = 0;
  OpenFile open;
};

struct VolumeFind {
  HandleObject header;
  std::vector<WIN32_FIND_DATAW> found;
  size_t next = 0;
};

bool CloseVolumeFile(HandleObject* self) {
  auto* file = reinterpret_cast<VolumeFile*>(self);
  OpenFilesRemove(&file->open);
  delete file;
  return true;
}

bool CloseVolumeFind(HandleObject* self) {
  delete reinterpret_cast<VolumeFind*>(self);
  return true;
}

VolumeFile* FileOf(HANDLE handle) { return HandleGet<VolumeFile>(handle, HandleKind::VolumeFile); }

FILETIME ToFileTime(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks & kLowHalfMask), static_cast<DWORD>(ticks >> kHalfBits)};
}
uint64_t FromFileTime(const FILETIME& t) { return uint64_t{t.dwHighDateTime} << kHalfBits | t.dwLowDateTime; }

DWORD AttributesOf(uint8_t fat) { return fat == 0 ? FILE_ATTRIBUTE_NORMAL : fat; }

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Whether any handle on the module has the file open.
bool IsOpen(const VolumePlace& place) {
  uint64_t dev = 0, ino = 0;
  VolumeFileIdentity(place, &dev, &ino);
  return OpenFilesContain(dev, ino);
}

HANDLE MakeHandle(const VolumePlace& place, DWORD access, DWORD share) {
  auto* file = new (std::nothrow) VolumeFile{};
  if (file == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  file->header.kind = HandleKind::VolumeFile;
  file->header.close = CloseVolumeFile;
  file->place = place;
  uint64_t dev = 0, ino = 0;
  VolumeFileIdentity(place, &dev, &ino);
  file->open = OpenFile{dev, ino, access, share};
  if (!OpenFilesAdd(&file->open)) {
    delete file;
    return INVALID_HANDLE_VALUE;
  }
  return HandleRegister(&file->header);
}

// CreateFileW's dispositions on the volume, the session held.
HANDLE OpenOnVolume(VolumeAccess* v, const VolumePlace& place, DWORD access, DWORD share, DWORD creation,
                    DWORD attributes) {
  if (place.inner.empty()) return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
  FatEntryInfo info;
  FatResult found = FatStat(&v->fat, place.inner, &info);
  uint64_t now = StorageNow();
  if (found == FatResult::Ok) {
    if (info.attributes & FILE_ATTRIBUTE_DIRECTORY) return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    if (creation == CREATE_NEW) return Fail(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
    bool truncates = creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING;
    if ((info.attributes & FILE_ATTRIBUTE_READONLY) && ((access & GENERIC_WRITE) || truncates)) {
      return Fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    }
    // Sharing is checked before anything about the file changes.
    HANDLE handle = MakeHandle(place, access, share);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    bool ok = !truncates || VolumeSucceeded(FatSetSize(&v->fat, place.inner, 0, now));
    if (ok && creation == CREATE_ALWAYS) {
      ok = VolumeSucceeded(FatSetAttributes(&v->fat, place.inner, static_cast<uint8_t>(attributes | FILE_ATTRIBUTE_ARCHIVE)));
    }
    if (!ok) {
      DWORD error = GetLastError();
      CloseHandle(handle);
      return Fail(error), INVALID_HANDLE_VALUE;
    }
    SetLastError(creation == OPEN_ALWAYS || creation == CREATE_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
  }
  if (found != FatResult::NotFound) return VolumeSucceeded(found), INVALID_HANDLE_VALUE;
  if (creation == OPEN_EXISTING || creation == TRUNCATE_EXISTING) return Fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
  // A read-only file is created read-only, yet written through this handle.
  if (!VolumeSucceeded(
          FatCreateFile(&v->fat, place.inner, static_cast<uint8_t>(attributes | FILE_ATTRIBUTE_ARCHIVE), now))) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = MakeHandle(place, access, share);
  if (handle != INVALID_HANDLE_VALUE) SetLastError(ERROR_SUCCESS);
  return handle;
}

// The session on an open file's volume, for a call on its handle.
VolumeFile* FileWithVolume(HANDLE handle, DWORD needs, VolumeAccess* v) {
  VolumeFile* file = FileOf(handle);
  if (file == nullptr) return nullptr;
  if ((file->open.access & needs) != needs) return Fail(ERROR_ACCESS_DENIED), nullptr;
  return VolumeOpenPlace(file->place, v) ? file : nullptr;
}

// The open file's entry as the volume holds it now.
bool StatHandle(HANDLE handle, FatEntryInfo* info) {
  VolumeAccess v;
  VolumeFile* file = FileWithVolume(handle, 0, &v);
  if (file == nullptr) return false;
  bool ok = VolumeSucceeded(FatStat(&v.fat, file->place.inner, info));
  VolumeClose(&v);
  return ok;
}

// Runs `op` with the session on the volume `name` lies on; false when it
// lies on none. `op` answers whether the call succeeded (last error set when
// not); a volume that does not mount fails the call.
template <typename Op>
bool OnVolume(LPCWSTR name, BOOL* result, Op op) {
  VolumePlace place;
  VolumeAccess v;
  bool ok = false;
  if (!VolumeOpenPath(name, kResolveNormal, &place, &v, &ok)) return false;
  if (ok) ok = op(place, &v);
  VolumeClose(&v);
  *result = ok ? TRUE : FALSE;
  return true;
}

// The entry `place` names, refused with `denied` when it is the volume's
// own folder or carries one of `refusing` attributes.
bool EntryFor(const VolumePlace& place, VolumeAccess* v, DWORD denied, uint8_t refusing, FatEntryInfo* info) {
  if (place.inner.empty()) return Fail(denied);
  if (!VolumeSucceeded(FatStat(&v->fat, place.inner, info))) return false;
  return (info->attributes & refusing) == 0 || Fail(ERROR_ACCESS_DENIED);
}

}  // namespace

bool VolumeCreateFile(LPCWSTR name, DWORD access, DWORD share, DWORD creation, DWORD attributes, HANDLE* handle) {
  VolumePlace place;
  VolumeAccess v;
  bool ok = false;
  if (!VolumeOpenPath(name, kResolveNormal, &place, &v, &ok)) return false;
  *handle = ok ? OpenOnVolume(&v, place, access & kAccessRights, share, creation, attributes) : INVALID_HANDLE_VALUE;
  VolumeClose(&v);
  return true;
}

bool VolumeFileHandle(HANDLE handle) { return HandlePeekKind(handle) == HandleKind::VolumeFile; }

BOOL VolumeReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* done) {
  if (done != nullptr) *done = 0;
  VolumeAccess v;
  VolumeFile* file = FileWithVolume(handle, GENERIC_READ, &v);
  if (file == nullptr) return FALSE;
  uint32_t got = 0;
  bool ok = VolumeSucceeded(
      FatRead(&v.fat, file->place.inner, file->position, static_cast<uint8_t*>(buffer), count, &got));
  VolumeClose(&v);
  file->position += got;
  if (done != nullptr) *done = got;
  return ok ? TRUE : FALSE;
}

BOOL VolumeWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* done) {
  if (done != nullptr) *done = 0;
  VolumeAccess v;
  VolumeFile* file = FileWithVolume(handle, GENERIC_WRITE, &v);
  if (file == nullptr) return FALSE;
  bool ok = count == 0 || VolumeSucceeded(FatWrite(&v.fat, file->place.inner, file->position,
                                                   static_cast<const uint8_t*>(buffer), count, StorageNow()));
  VolumeClose(&v);
  if (!ok) return FALSE;
  file->position += count;
  if (done != nullptr) *done = count;
  return TRUE;
}

DWORD VolumeSetFilePointer(HANDLE handle, LONG distance, LONG* high, DWORD method) {
  VolumeFile* file = FileOf(handle);
  if (file == nullptr) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;
  if (high != nullptr) {
    move = static_cast<int64_t>(uint64_t{static_cast<uint32_t>(*high)} << kHalfBits | static_cast<uint32_t>(distance));
  }
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = static_cast<int64_t>(file->position);
  } else if (method == FILE_END) {
    FatEntryInfo info;
    if (!StatHandle(handle, &info)) return INVALID_SET_FILE_POINTER;
    base = info.size;
  } else if (method != FILE_BEGIN) {
    return Fail(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, move, &target) || target < 0 ||
      (high == nullptr && static_cast<uint64_t>(target) > kLowHalfMask)) {
    return Fail(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  }
  file->position = static_cast<uint64_t>(target);
  if (high != nullptr) *high = static_cast<LONG>(file->position >> kHalfBits);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(file->position & kLowHalfMask);
}

BOOL VolumeSetEndOfFile(HANDLE handle) {
  VolumeAccess v;
  VolumeFile* file = FileWithVolume(handle, GENERIC_WRITE, &v);
  if (file == nullptr) return FALSE;
  bool ok = file->position <= kFatMaxFileBytes
                ? VolumeSucceeded(FatSetSize(&v.fat, file->place.inner, static_cast<uint32_t>(file->position), StorageNow()))
                : Fail(ERROR_DISK_FULL);
  VolumeClose(&v);
  return ok ? TRUE : FALSE;
}

DWORD VolumeGetFileSize(HANDLE handle, DWORD* high) {
  FatEntryInfo info;
  if (!StatHandle(handle, &info)) return INVALID_FILE_SIZE;
  if (high != nullptr) *high = 0;
  SetLastError(ERROR_SUCCESS);
  return info.size;
}

BOOL VolumeGetFileTime(HANDLE handle, FILETIME* creation, FILETIME* access, FILETIME* write) {
  FatEntryInfo info;
  if (!StatHandle(handle, &info)) return FALSE;
  if (creation != nullptr) *creation = ToFileTime(info.created);
  if (access != nullptr) *access = ToFileTime(info.accessed);
  if (write != nullptr) *write = ToFileTime(info.written);
  return TRUE;
}

BOOL VolumeSetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access, const FILETIME* write) {
  VolumeAccess v;
  VolumeFile* file = FileWithVolume(handle, GENERIC_WRITE, &v);
  if (file == nullptr) return FALSE;
  uint64_t times[3] = {};
  const FILETIME* given[3] = {creation, access, write};
  for (int i = 0; i < 3; i++) {
    if (given[i] != nullptr) times[i] = FromFileTime(*given[i]);
  }
  bool ok = VolumeSucceeded(FatSetTimes(&v.fat, file->place.inner, creation ? &times[0] : nullptr,
                                        access ? &times[1] : nullptr, write ? &times[2] : nullptr));
  VolumeClose(&v);
  return ok ? TRUE : FALSE;
}

bool VolumeDeleteFile(LPCWSTR name, BOOL* result) {
  return OnVolume(name, result, [](const VolumePlace& place, VolumeAccess* v) {
    FatEntryInfo info;
    if (!EntryFor(place, v, ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY, &info)) {
      return false;
    }
    if (IsOpen(place)) return Fail(ERROR_SHARING_VIOLATION);
    return VolumeSucceeded(FatDeleteFile(&v->fat, place.inner));
  });
}

bool VolumeCreateDirectory(LPCWSTR name, BOOL* result) {
  return OnVolume(name, result, [](const VolumePlace& place, VolumeAccess* v) {
    if (place.inner.empty()) return Fail(ERROR_ALREADY_EXISTS);
    return VolumeSucceeded(FatMakeDirectory(&v->fat, place.inner, StorageNow()));
  });
}

bool VolumeRemoveDirectory(LPCWSTR name, BOOL* result) {
  return OnVolume(name, result, [](const VolumePlace& place, VolumeAccess* v) {
    FatEntryInfo info;
    return EntryFor(place, v, ERROR_ACCESS_DENIED, FILE_ATTRIBUTE_READONLY, &info) &&
           VolumeSucceeded(FatRemoveDirectory(&v->fat, place.inner));
  });
}

bool VolumeMoveFile(LPCWSTR existing, LPCWSTR target, DWORD flags, BOOL* result) {
  VolumePlace from;
  VolumeAccess v;
  bool ok = false;
  if (!VolumeOpenPath(existing, kResolveNormal, &from, &v, &ok)) return false;
  VolumePlace to;
  VolumeAccess other;
  bool toOk = false;
  // Both ends on one volume: a move between file systems is a copy, which
  // this call does not do. The second session would wait for the first.
  VolumeClose(&v);
  bool toOnVolume = VolumeOpenPath(target, kResolveNormal, &to, &other, &toOk);
  VolumeClose(&other);
  if (!toOnVolume || to.device != from.device || to.slot != from.slot) {
    *result = Fail(ERROR_ACCESS_DENIED) ? TRUE : FALSE;
    return true;
  }
  ok = ok && toOk && VolumeOpenPlace(from, &v);
  FatEntryInfo info;
  if (ok && (from.inner.empty() || to.inner.empty())) ok = Fail(ERROR_ACCESS_DENIED);
  if (ok) ok = VolumeSucceeded(FatStat(&v.fat, from.inner, &info));
  if (ok && IsOpen(from)) ok = Fail(ERROR_SHARING_VIOLATION);
  bool sameEntry = TextEqualNoCase(from.inner, to.inner);
  if (ok && !sameEntry && FatStat(&v.fat, to.inner, &info) == FatResult::Ok) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
      ok = Fail(ERROR_ALREADY_EXISTS);
    } else if (info.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) {
      ok = Fail(ERROR_ACCESS_DENIED);
    } else if (IsOpen(to)) {
      ok = Fail(ERROR_SHARING_VIOLATION);
    } else {
      ok = VolumeSucceeded(FatDeleteFile(&v.fat, to.inner));
    }
  }
  if (ok) ok = VolumeSucceeded(FatRename(&v.fat, from.inner, to.inner));
  VolumeClose(&v);
  *result = ok ? TRUE : FALSE;
  return true;
}

bool VolumeGetAttributes(LPCWSTR name, DWORD* attributes) {
  VolumePlace place;
  VolumeAccess v;
  bool ok = false;
  if (!VolumeOpenPath(name, kResolveNormal, &place, &v, &ok)) return false;
  FatEntryInfo info;
  if (ok && place.inner.empty()) {
    *attributes = FILE_ATTRIBUTE_DIRECTORY;
  } else if (ok && VolumeSucceeded(FatStat(&v.fat, place.inner, &info))) {
    *attributes = AttributesOf(info.attributes);
  } else {
    *attributes = INVALID_FILE_ATTRIBUTES;
  }
  VolumeClose(&v);
  return true;
}

bool VolumeSetAttributes(LPCWSTR name, DWORD attributes, BOOL* result) {
  return OnVolume(name, result, [&](const VolumePlace& place, VolumeAccess* v) {
    if (place.inner.empty()) return Fail(ERROR_ACCESS_DENIED);
    return VolumeSucceeded(
        FatSetAttributes(&v->fat, place.inner, static_cast<uint8_t>(attributes & kSettableFileAttributes)));
  });
}

bool VolumeFindFirst(LPCWSTR pattern, WIN32_FIND_DATAW* data, HANDLE* search) {
  VolumePlace place;
  VolumeAccess v;
  bool ok = false;
  if (!VolumeOpenPath(pattern, kResolvePattern, &place, &v, &ok)) return false;
  *search = INVALID_HANDLE_VALUE;
  // The volume's own folder is found in the root, where it is mounted.
  size_t cut = place.inner.rfind(u'\\');
  std::u16string folder = cut == std::u16string::npos ? u"" : place.inner.substr(0, cut);
  std::u16string names = cut == std::u16string::npos ? place.inner : place.inner.substr(cut + 1);
  std::vector<FatEntryInfo> entries;
  if (ok && place.inner.empty()) ok = Fail(ERROR_FILE_NOT_FOUND);
  if (ok) ok = VolumeSucceeded(FatList(&v.fat, folder, &entries));
  VolumeClose(&v);
  if (!ok) return true;
  auto* find = new (std::nothrow) VolumeFind{};
  if (find == nullptr) return Fail(ERROR_NOT_ENOUGH_MEMORY), true;
  find->header.kind = HandleKind::VolumeFind;
  find->header.close = CloseVolumeFind;
  for (const FatEntryInfo& e : entries) {
    // An entry with no name a FAT volume can hold is not handed to a program,
    // which would put it into a path.
    if (e.name.empty()) continue;
    if (!NameMatches(e.name, names) && !NameMatches(e.shortName, names)) continue;
    WIN32_FIND_DATAW record = {};
    record.dwFileAttributes = AttributesOf(e.attributes);
    record.ftCreationTime = ToFileTime(e.created);
    record.ftLastAccessTime = ToFileTime(e.accessed);
    record.ftLastWriteTime = ToFileTime(e.written);
    record.nFileSizeLow = e.size;
    TextCopy(record.cFileName, MAX_PATH, e.name.c_str());
    find->found.push_back(record);
  }
  if (find->found.empty()) {
    CloseVolumeFind(&find->header);
    return Fail(ERROR_FILE_NOT_FOUND), true;
  }
  *data = find->found[find->next++];
  *search = HandleRegister(&find->header);
  return true;
}

bool VolumeFindNext(HANDLE search, WIN32_FIND_DATAW* data, BOOL* result) {
  if (HandlePeekKind(search) != HandleKind::VolumeFind) return false;
  auto* find = HandleGet<VolumeFind>(search, HandleKind::VolumeFind);
  if (find == nullptr || data == nullptr) {
    *result = Fail(ERROR_INVALID_PARAMETER) ? TRUE : FALSE;
    return true;
  }
  if (find->next >= find->found.size()) {
    *result = Fail(ERROR_NO_MORE_FILES) ? TRUE : FALSE;
    return true;
  }
  *data = find->found[find->next++];
  *result = TRUE;
  return true;
}
