// The storage manager's fifteen store and partition operations, under their
// own names. On OS major version 6 each call binds its entry by name in the
// core library; on older systems it goes through the store path
// ("\StoreMgr\...") or the handle-based system-call entries. Failures show
// only in the results: -1 (INVALID_HANDLE_VALUE) for handles, 0 otherwise.
#pragma once

#include "platform/storage.h"
#include "platform/types.h"

// The newer system names the core library so; the older one is reached
// without it.
constexpr WCHAR STORE_CORE_LIBRARY[] = u"coredll.dll";
constexpr DWORD STORE_NAMED_ENTRIES_OS_MAJOR = 6;

// Longest device name appended to "\StoreMgr\" when opening a store on the
// older system.
constexpr size_t STORE_DEVICE_NAME_MAX_CHARS = 245;

// The path the older system opens a store by: "\StoreMgr\" followed by at
// most STORE_DEVICE_NAME_MAX_CHARS characters of the device name.
void StoreOpenPath(LPCWSTR deviceName, WCHAR (&path)[MAX_PATH]);

HANDLE OpenStore(LPCWSTR deviceName);
BOOL DismountStore(HANDLE store);
BOOL FormatStore(HANDLE store);
// info->cbSize must be STORE_INFO_BYTES.
HANDLE FindFirstStore(STOREINFO* info);
BOOL FindNextStore(HANDLE search, STOREINFO* info);
BOOL FindCloseStore(HANDLE search);
BOOL GetStoreInfo(HANDLE store, STOREINFO* info);
BOOL CreatePartitionEx(HANDLE store, LPCWSTR name, BYTE partType, ULONGLONG sectors);
HANDLE OpenPartition(HANDLE store, LPCWSTR name);
BOOL MountPartition(HANDLE partition);
BOOL SetPartitionAttributes(HANDLE partition, DWORD attributes);
BOOL FormatPartition(HANDLE partition);
// info->cbSize must be PARTITION_INFO_BYTES.
HANDLE FindFirstPartition(HANDLE store, PARTINFO* info);
BOOL FindNextPartition(HANDLE search, PARTINFO* info);
BOOL FindClosePartition(HANDLE search);

// Releases a core library handle left cached by a failed lookup and forgets
// it. For tests.
void StoreAccessResetForTests();
// The cached core library handle (null when none). For tests.
HMODULE StoreAccessCachedLibrary();
