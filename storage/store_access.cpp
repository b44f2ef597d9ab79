#include "storage/store_access.h"

#include <algorithm>
#include <iterator>

#include "platform/files.h"
#include "platform/syscall_entries.h"
#include "platform/text.h"
#include "platform/version.h"

namespace {

constexpr BYTE PART_TYPE_MASK = 0xFF;
// FormatPartition's fixed arguments on the older system: keep the type,
// automatic format.
constexpr DWORD FORMAT_PARTITION_KEEP_TYPE = 0;
constexpr DWORD FORMAT_PARTITION_AUTO = 1;
constexpr DWORD CREATE_PARTITION_RESERVED = 0;
constexpr uint32_t SECTOR_COUNT_HIGH_SHIFT = 32;

constexpr WCHAR STORE_ROOT[] = u"\\StoreMgr";
constexpr WCHAR STORE_PREFIX[] = u"\\StoreMgr\\";
static_assert(std::size(STORE_PREFIX) + STORE_DEVICE_NAME_MAX_CHARS <= MAX_PATH, "a cut path fits its buffer");

struct StoreAccessState {
  // The core library while a newer-system call is bound to it.
  HMODULE library = nullptr;
};

StoreAccessState g_access;

// Asked on every call: the layer keeps nothing about the system.
bool NamedEntries() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExW(&version) && version.dwMajorVersion == STORE_NAMED_ENTRIES_OS_MAJOR;
}

void ReleaseLibrary() {
  if (g_access.library != nullptr) FreeLibrary(g_access.library);
  g_access.library = nullptr;
}

void* BindByName(LPCWSTR name) {
  ReleaseLibrary();
  g_access.library = LoadLibraryW(STORE_CORE_LIBRARY);
  if (g_access.library == nullptr) return nullptr;
  return GetProcAddressW(g_access.library, name);
}

// A missing entry leaves the library cached; the next bind lets it go.
template <typename Fn, typename Result, typename... Args>
Result CallNamed(LPCWSTR name, Result missing, Args... args) {
  auto entry = reinterpret_cast<Fn>(BindByName(name));
  if (entry == nullptr) return missing;
  Result result = entry(args...);
  ReleaseLibrary();
  return result;
}

template <typename Fn, typename Result, typename... Args>
Result CallSystem(uint32_t apiSet, uint32_t method, Result missing, Args... args) {
  auto entry = reinterpret_cast<Fn>(SystemCallEntry(SystemCallEntryAddress(apiSet, method)));
  return entry == nullptr ? missing : entry(args...);
}

template <typename Fn, typename... Args>
BOOL CallSystemBool(uint32_t apiSet, uint32_t method, Args... args) {
  return CallSystem<Fn>(apiSet, method, kSyscallFailure, args...) == kSyscallSuccess ? TRUE : FALSE;
}

}  // namespace

void StoreOpenPath(LPCWSTR deviceName, WCHAR (&path)[MAX_PATH]) {
  std::fill(std::begin(path), std::end(path), 0);
  TextCopy(path, MAX_PATH, STORE_PREFIX);
  size_t prefix = TextLength(path);
  size_t name = TextLengthBounded(deviceName, STORE_DEVICE_NAME_MAX_CHARS);
  std::copy(deviceName, deviceName + name, path + prefix);
}

HANDLE OpenStore(LPCWSTR deviceName) {
  if (NamedEntries()) return CallNamed<PFN_OpenStore>(u"OpenStore", INVALID_HANDLE_VALUE, deviceName);
  WCHAR path[MAX_PATH];
  StoreOpenPath(deviceName, path);
  return CreateFileW(path, 0, 0, nullptr, 0, 0, nullptr);
}

BOOL DismountStore(HANDLE store) {
  if (NamedEntries()) return CallNamed<PFN_DismountStore>(u"DismountStore", FALSE, store);
  return CallSystemBool<SyscallDismountStore>(kApiSetFileSystem, kMethodDismountStore, store);
}

BOOL FormatStore(HANDLE store) {
  if (NamedEntries()) return CallNamed<PFN_FormatStore>(u"FormatStore", FALSE, store);
  return CallSystemBool<SyscallFormatStore>(kApiSetFileSystem, kMethodFormatStore, store);
}

HANDLE FindFirstStore(STOREINFO* info) {
  if (NamedEntries()) return CallNamed<PFN_FindFirstStore>(u"FindFirstStore", INVALID_HANDLE_VALUE, info);
  return FindFirstFileW(STORE_ROOT, reinterpret_cast<WIN32_FIND_DATAW*>(info));
}

BOOL FindNextStore(HANDLE search, STOREINFO* info) {
  if (NamedEntries()) return CallNamed<PFN_FindNextStore>(u"FindNextStore", FALSE, search, info);
  return CallSystemBool<SyscallFindNext>(kApiSetSearch, kMethodFindNext, search, static_cast<void*>(info));
}

BOOL FindCloseStore(HANDLE search) {
  if (NamedEntries()) return CallNamed<PFN_FindCloseStore>(u"FindCloseStore", FALSE, search);
  return CallSystemBool<SyscallFindClose>(kApiSetSearch, kMethodFindClose, search);
}

BOOL GetStoreInfo(HANDLE store, STOREINFO* info) {
  if (NamedEntries()) return CallNamed<PFN_GetStoreInfo>(u"GetStoreInfo", FALSE, store, info);
  return CallSystemBool<SyscallGetStoreInfo>(kApiSetFileSystem, kMethodGetStoreInfo, store, info);
}

BOOL CreatePartitionEx(HANDLE store, LPCWSTR name, BYTE partType, ULONGLONG sectors) {
  if (NamedEntries()) {
    return CallNamed<PFN_CreatePartitionEx>(u"CreatePartitionEx", FALSE, store, name, partType, sectors);
  }
  return CallSystemBool<SyscallCreatePartitionEx>(
      kApiSetFileSystem, kMethodCreatePartitionEx, store, name, DWORD{static_cast<BYTE>(partType & PART_TYPE_MASK)},
      static_cast<DWORD>(sectors >> SECTOR_COUNT_HIGH_SHIFT), static_cast<DWORD>(sectors), CREATE_PARTITION_RESERVED);
}

HANDLE OpenPartition(HANDLE store, LPCWSTR name) {
  if (NamedEntries()) return CallNamed<PFN_OpenPartition>(u"OpenPartition", INVALID_HANDLE_VALUE, store, name);
  return CallSystem<SyscallOpenPartition>(kApiSetFileSystem, kMethodOpenPartition, INVALID_HANDLE_VALUE, store, name);
}

BOOL MountPartition(HANDLE partition) {
  if (NamedEntries()) return CallNamed<PFN_MountPartition>(u"MountPartition", FALSE, partition);
  return CallSystemBool<SyscallMountPartition>(kApiSetFileSystem, kMethodMountPartition, partition);
}

BOOL SetPartitionAttributes(HANDLE partition, DWORD attributes) {
  if (NamedEntries()) {
    return CallNamed<PFN_SetPartitionAttributes>(u"SetPartitionAttributes", FALSE, partition, attributes);
  }
  return CallSystemBool<SyscallSetPartitionAttributes>(kApiSetFileSystem, kMethodSetPartitionAttributes, partition,
                                                       attributes);
}

BOOL FormatPartition(HANDLE partition) {
  if (NamedEntries()) return CallNamed<PFN_FormatPartition>(u"FormatPartition", FALSE, partition);
  return CallSystemBool<SyscallFormatPartition>(kApiSetFileSystem, kMethodFormatPartition, partition,
                                                FORMAT_PARTITION_KEEP_TYPE, FORMAT_PARTITION_AUTO);
}

HANDLE FindFirstPartition(HANDLE store, PARTINFO* info) {
  if (NamedEntries()) {
    return CallNamed<PFN_FindFirstPartition>(u"FindFirstPartition", INVALID_HANDLE_VALUE, store, info);
  }
  return CallSystem<SyscallFindFirstPartition>(kApiSetFileSystem, kMethodFindFirstPartition, INVALID_HANDLE_VALUE,
                                               store, info);
}

BOOL FindNextPartition(HANDLE search, PARTINFO* info) {
  if (NamedEntries()) return CallNamed<PFN_FindNextPartition>(u"FindNextPartition", FALSE, search, info);
  return CallSystemBool<SyscallFindNext>(kApiSetSearch, kMethodFindNext, search, static_cast<void*>(info));
}

BOOL FindClosePartition(HANDLE search) {
  if (NamedEntries()) return CallNamed<PFN_FindClosePartition>(u"FindClosePartition", FALSE, search);
  return CallSystemBool<SyscallFindClose>(kApiSetSearch, kMethodFindClose, search);
}

void StoreAccessResetForTests() { ReleaseLibrary(); }

HMODULE StoreAccessCachedLibrary() { return g_access.library; }
