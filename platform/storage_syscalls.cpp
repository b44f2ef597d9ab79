// The older OS's system-call entries for stores, partitions and searches.
#include <map>
#include <mutex>

#include "platform/files.h"
#include "platform/storage_internal.h"
#include "platform/syscall_entries.h"

namespace {

constexpr uint32_t kHalfBits = 32;

struct SyscallState {
  std::mutex lock;
  std::map<uintptr_t, DWORD> forced;
};

SyscallState g_syscalls;

bool Forced(uint32_t apiSet, uint32_t method, DWORD* result) {
  std::lock_guard<std::mutex> guard(g_syscalls.lock);
  auto it = g_syscalls.forced.find(SystemCallEntryAddress(apiSet, method));
  if (it == g_syscalls.forced.end()) return false;
  *result = it->second;
  return true;
}

// An entry's result: the forced one, else the operation's, as the kernel
// reports it (exactly 1 for success).
template <typename Op>
DWORD Run(uint32_t apiSet, uint32_t method, Op op) {
  DWORD forced = 0;
  if (Forced(apiSet, method, &forced)) return forced;
  return op() ? kSyscallSuccess : kSyscallFailure;
}

DWORD EntryGetStoreInfo(HANDLE store, STOREINFO* info) {
  return Run(kApiSetFileSystem, kMethodGetStoreInfo, [&] { return StorageGetStoreInfo(store, info); });
}

DWORD EntryDismountStore(HANDLE store) {
  return Run(kApiSetFileSystem, kMethodDismountStore, [&] { return StorageDismountStore(store); });
}

DWORD EntryFormatStore(HANDLE store) {
  return Run(kApiSetFileSystem, kMethodFormatStore, [&] { return StorageFormatStore(store); });
}

DWORD EntryCreatePartitionEx(HANDLE store, LPCWSTR name, DWORD partType, DWORD sectorsHigh, DWORD sectorsLow,
                             DWORD) {
  ULONGLONG sectors = ULONGLONG{sectorsHigh} << kHalfBits | sectorsLow;
  return Run(kApiSetFileSystem, kMethodCreatePartitionEx,
             [&] { return StorageCreatePartitionEx(store, name, static_cast<BYTE>(partType), sectors); });
}

HANDLE EntryOpenPartition(HANDLE store, LPCWSTR name) { return StorageOpenPartition(store, name); }

DWORD EntryMountPartition(HANDLE partition) {
  return Run(kApiSetFileSystem, kMethodMountPartition, [&] { return StorageMountPartition(partition); });
}

DWORD EntrySetPartitionAttributes(HANDLE partition, DWORD attributes) {
  return Run(kApiSetFileSystem, kMethodSetPartitionAttributes,
             [&] { return StorageSetPartitionAttributes(partition, attributes); });
}

DWORD EntryFormatPartition(HANDLE partition, DWORD, DWORD) {
  return Run(kApiSetFileSystem, kMethodFormatPartition, [&] { return StorageFormatPartition(partition); });
}

HANDLE EntryFindFirstPartition(HANDLE store, PARTINFO* info) { return StorageFindFirstPartition(store, info); }

DWORD EntryFindNext(HANDLE search, void* record) {
  return Run(kApiSetSearch, kMethodFindNext,
             [&] { return FindNextFileW(search, static_cast<WIN32_FIND_DATAW*>(record)); });
}

DWORD EntryFindClose(HANDLE search) {
  return Run(kApiSetSearch, kMethodFindClose, [&] { return FindClose(search); });
}

struct Entry {
  uint32_t apiSet;
  uint32_t method;
  void* function;
};

const Entry kEntries[] = {
    {kApiSetFileSystem, kMethodGetStoreInfo, reinterpret_cast<void*>(SyscallGetStoreInfo{EntryGetStoreInfo})},
    {kApiSetFileSystem, kMethodDismountStore, reinterpret_cast<void*>(SyscallDismountStore{EntryDismountStore})},
    {kApiSetFileSystem, kMethodFormatStore, reinterpret_cast<void*>(SyscallFormatStore{EntryFormatStore})},
    {kApiSetFileSystem, kMethodCreatePartitionEx,
     reinterpret_cast<void*>(SyscallCreatePartitionEx{EntryCreatePartitionEx})},
    {kApiSetFileSystem, kMethodOpenPartition, reinterpret_cast<void*>(SyscallOpenPartition{EntryOpenPartition})},
    {kApiSetFileSystem, kMethodMountPartition, reinterpret_cast<void*>(SyscallMountPartition{EntryMountPartition})},
    {kApiSetFileSystem, kMethodSetPartitionAttributes,
     reinterpret_cast<void*>(SyscallSetPartitionAttributes{EntrySetPartitionAttributes})},
    {kApiSetFileSystem, kMethodFormatPartition,
     reinterpret_cast<void*>(SyscallFormatPartition{EntryFormatPartition})},
    {kApiSetFileSystem, kMethodFindFirstPartition,
     reinterpret_cast<void*>(SyscallFindFirstPartition{EntryFindFirstPartition})},
    {kApiSetSearch, kMethodFindNext, reinterpret_cast<void*>(SyscallFindNext{EntryFindNext})},
    {kApiSetSearch, kMethodFindClose, reinterpret_cast<void*>(SyscallFindClose{EntryFindClose})},
};

}  // namespace

void* SystemCallEntry(uintptr_t entryAddress) {
  for (const Entry& e : kEntries) {
    if (SystemCallEntryAddress(e.apiSet, e.method) == entryAddress) return e.function;
  }
  return nullptr;
}

void SystemCallEntryForceResultForTests(uintptr_t entryAddress, DWORD result) {
  std::lock_guard<std::mutex> guard(g_syscalls.lock);
  g_syscalls.forced[entryAddress] = result;
}

void SystemCallEntryResetForTests() {
  std::lock_guard<std::mutex> guard(g_syscalls.lock);
  g_syscalls.forced.clear();
}
