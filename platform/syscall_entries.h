// The older OS's handle-based system-call entries the storage manager calls
// go through (SystemCallEntry in platform/storage.h resolves their
// addresses), with the host function type of each. Every entry takes the
// handle first; those that report success return exactly 1 for it.
#pragma once

#include "platform/storage.h"

// API sets: calls on file-system handles (stores and partitions belong to
// it) and calls on search handles.
constexpr uint32_t kApiSetFileSystem = 7;
constexpr uint32_t kApiSetSearch = 8;

// Methods of the file-system set.
constexpr uint32_t kMethodGetStoreInfo = 1;
constexpr uint32_t kMethodDismountStore = 2;
constexpr uint32_t kMethodFormatStore = 3;
constexpr uint32_t kMethodCreatePartitionEx = 4;
constexpr uint32_t kMethodOpenPartition = 6;
constexpr uint32_t kMethodMountPartition = 7;
constexpr uint32_t kMethodSetPartitionAttributes = 10;
constexpr uint32_t kMethodFormatPartition = 13;
constexpr uint32_t kMethodFindFirstPartition = 14;
// Methods of the search set: the general find-close and find-next, which
// serve file, store and partition searches alike.
constexpr uint32_t kMethodFindClose = 0;
constexpr uint32_t kMethodFindNext = 2;

constexpr DWORD kSyscallSuccess = 1;
constexpr DWORD kSyscallFailure = 0;

using SyscallGetStoreInfo = DWORD (*)(HANDLE store, STOREINFO* info);
using SyscallDismountStore = DWORD (*)(HANDLE store);
using SyscallFormatStore = DWORD (*)(HANDLE store);
using SyscallCreatePartitionEx = DWORD (*)(HANDLE store, LPCWSTR name, DWORD partType, DWORD sectorsHigh,
                                           DWORD sectorsLow, DWORD reserved);
using SyscallOpenPartition = HANDLE (*)(HANDLE store, LPCWSTR name);
using SyscallMountPartition = DWORD (*)(HANDLE partition);
using SyscallSetPartitionAttributes = DWORD (*)(HANDLE partition, DWORD attributes);
// `partType` 0 keeps the partition's type; `autoType` is accepted as the
// program passes it (1) and changes nothing here.
using SyscallFormatPartition = DWORD (*)(HANDLE partition, DWORD partType, DWORD autoType);
using SyscallFindFirstPartition = HANDLE (*)(HANDLE store, PARTINFO* info);
using SyscallFindNext = DWORD (*)(HANDLE search, void* record);
using SyscallFindClose = DWORD (*)(HANDLE search);

// Test hook: the entry at `entryAddress` (one that returns a DWORD) returns
// `result` without doing anything, until the reset.
void SystemCallEntryForceResultForTests(uintptr_t entryAddress, DWORD result);
void SystemCallEntryResetForTests();
