// Libraries by name: the core library and the storage manager entries it
// exports, counted per load as the OS's loader counts them.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/storage_internal.h"
#include "platform/text.h"

namespace {

constexpr std::u16string_view kCoreLibrary = u"coredll.dll";

struct Export {
  const char16_t* name;
  void* entry;
};

const Export kExports[] = {
    {u"OpenStore", reinterpret_cast<void*>(&StorageOpenStore)},
    {u"DismountStore", reinterpret_cast<void*>(&StorageDismountStore)},
    {u"FormatStore", reinterpret_cast<void*>(&StorageFormatStore)},
    {u"FindFirstStore", reinterpret_cast<void*>(&StorageFindFirstStore)},
    {u"FindNextStore", reinterpret_cast<void*>(&StorageFindNextStore)},
    {u"FindCloseStore", reinterpret_cast<void*>(&StorageFindCloseStore)},
    {u"GetStoreInfo", reinterpret_cast<void*>(&StorageGetStoreInfo)},
    {u"CreatePartitionEx", reinterpret_cast<void*>(&StorageCreatePartitionEx)},
    {u"OpenPartition", reinterpret_cast<void*>(&StorageOpenPartition)},
    {u"MountPartition", reinterpret_cast<void*>(&StorageMountPartition)},
    {u"SetPartitionAttributes", reinterpret_cast<void*>(&StorageSetPartitionAttributes)},
    {u"FormatPartition", reinterpret_cast<void*>(&StorageFormatPartition)},
    {u"FindFirstPartition", reinterpret_cast<void*>(&StorageFindFirstPartition)},
    {u"FindNextPartition", reinterpret_cast<void*>(&StorageFindNextPartition)},
    {u"FindClosePartition", reinterpret_cast<void*>(&StorageFindClosePartition)},
};

struct LibraryState {
  std::mutex lock;
  int references = 0;
  std::vector<std::u16string> hidden;
};

LibraryState g_library;

// The core library's module handle: an address that names it and nothing else.
const char kCoreLibraryTag = 0;
HMODULE CoreHandle() { return const_cast<char*>(&kCoreLibraryTag); }

bool IsCoreLibrary(LPCWSTR name) {
  return name != nullptr && TextEqualNoCase(std::u16string_view(name, TextLengthBounded(name, MAX_PATH)), kCoreLibrary);
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!IsCoreLibrary(name)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(g_library.lock);
  g_library.references++;
  return CoreHandle();
}

void* GetProcAddressW(HMODULE module, LPCWSTR name) {
  std::lock_guard<std::mutex> guard(g_library.lock);
  if (module != CoreHandle() || g_library.references == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name != nullptr) {
    std::u16string_view wanted(name, TextLengthBounded(name, MAX_PATH));
    bool hidden = std::find(g_library.hidden.begin(), g_library.hidden.end(), wanted) != g_library.hidden.end();
    for (const Export& e : kExports) {
      if (!hidden && wanted == e.name) return e.entry;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  std::lock_guard<std::mutex> guard(g_library.lock);
  if (module != CoreHandle() || g_library.references == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  g_library.references--;
  return TRUE;
}

int LibraryReferenceCount(LPCWSTR name) {
  std::lock_guard<std::mutex> guard(g_library.lock);
  return IsCoreLibrary(name) ? g_library.references : 0;
}

void LibraryHideExportForTests(LPCWSTR name) {
  std::lock_guard<std::mutex> guard(g_library.lock);
  if (name != nullptr) g_library.hidden.emplace_back(name);
}

void LibraryResetForTests() {
  std::lock_guard<std::mutex> guard(g_library.lock);
  g_library.references = 0;
  g_library.hidden.clear();
}
