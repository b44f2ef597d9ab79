// The older OS's store paths and the general find calls on store and
// partition searches.
#include "platform/storage_paths.h"

#include "platform/device_manager.h"
#include "platform/error.h"
#include "platform/handles.h"
#include "platform/storage_internal.h"
#include "platform/text.h"

namespace {

constexpr std::u16string_view kStoreRoot = u"\\StoreMgr";
constexpr WCHAR kBackslash = u'\\';
constexpr WCHAR kSlash = u'/';

bool IsSeparator(WCHAR c) { return c == kBackslash || c == kSlash; }

// "\StoreMgr" in any case, either separator; `rest` receives what follows
// the separator after it ("" for the root itself, with or without it).
bool UnderStoreRoot(LPCWSTR path, std::u16string_view* rest) {
  if (path == nullptr) return false;
  std::u16string_view text(path, TextLengthBounded(path, MAX_PATH));
  if (text.size() < kStoreRoot.size() || !IsSeparator(text[0]) ||
      !TextEqualNoCase(text.substr(1, kStoreRoot.size() - 1), kStoreRoot.substr(1))) {
    return false;
  }
  std::u16string_view after = text.substr(kStoreRoot.size());
  if (after.empty()) {
    *rest = after;
    return true;
  }
  if (!IsSeparator(after[0])) return false;
  *rest = after.substr(1);
  return true;
}

}  // namespace

bool StoragePathOpen(LPCWSTR name, HANDLE* handle) {
  std::u16string_view device;
  if (!UnderStoreRoot(name, &device)) return false;
  std::u16string terminated(device);
  *handle = StorageOpenStore(terminated.c_str());
  return true;
}

bool StoragePathSearch(LPCWSTR pattern, void* record, HANDLE* handle) {
  std::u16string_view rest;
  if (!UnderStoreRoot(pattern, &rest) || !rest.empty()) return false;
  *handle = StorageFindFirstStore(static_cast<STOREINFO*>(record));
  return true;
}

bool StorageSearchNext(HANDLE search, void* record, BOOL* result) {
  // Probing the kinds must not leave a stale error behind a successful call.
  DWORD saved = GetLastError();
  if (HandleLookup(search, HandleKind::StoreSearch) != nullptr) {
    *result = StorageFindNextStore(search, static_cast<STOREINFO*>(record));
    return true;
  }
  if (HandleLookup(search, HandleKind::PartitionSearch) != nullptr) {
    *result = StorageFindNextPartition(search, static_cast<PARTINFO*>(record));
    return true;
  }
  SetLastError(saved);
  return false;
}

bool StorageSearchClose(HANDLE search, BOOL* result) {
  DWORD saved = GetLastError();
  if (HandleLookup(search, HandleKind::StoreSearch) != nullptr) {
    *result = StorageFindCloseStore(search);
    return true;
  }
  if (HandleLookup(search, HandleKind::PartitionSearch) != nullptr) {
    *result = StorageFindClosePartition(search);
    return true;
  }
  SetLastError(saved);
  if (DeviceSearchHandle(search)) {
    *result = DeviceFindClose(search);
    return true;
  }
  return false;
}
