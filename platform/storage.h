// The storage manager as the module's OS offers it: store and partition
// records, the fifteen store and partition operations, and the two ways a
// program reaches them (by name in the core library on the newer OS, through
// the store path and the handle-based system-call entries on the older one).
#pragma once

#include "platform/types.h"

constexpr DWORD STORE_INFO_BYTES = 240;
constexpr DWORD PARTITION_INFO_BYTES = 296;

struct STORAGEDEVICEINFO {
  DWORD cbSize;
  WCHAR szProfile[32];
  DWORD dwDeviceClass;
  DWORD dwDeviceType;
  DWORD dwDeviceFlags;
};
static_assert(sizeof(STORAGEDEVICEINFO) == 80);

struct STOREINFO {
  DWORD cbSize;  // 240
  WCHAR szDeviceName[8];
  WCHAR szStoreName[32];
  DWORD dwDeviceClass;
  DWORD dwDeviceType;
  STORAGEDEVICEINFO sdi;
  DWORD dwDeviceFlags;
  ULONGLONG snNumSectors;
  DWORD dwBytesPerSector;
  ULONGLONG snFreeSectors;
  ULONGLONG snBiggestPartCreatable;
  FILETIME ftCreated;
  FILETIME ftLastModified;
  DWORD dwAttributes;
  DWORD dwPartitionCount;
  DWORD dwMountCount;
};
static_assert(sizeof(STOREINFO) == STORE_INFO_BYTES);
static_assert(offsetof(STOREINFO, snNumSectors) == 176 && offsetof(STOREINFO, snBiggestPartCreatable) == 200);

// What the store records say about the module's flash disk store.
constexpr DWORD STORAGE_DEVICE_CLASS_BLOCK = 0x1;
constexpr DWORD STORAGE_DEVICE_TYPE_FLASH = 0x10;
constexpr DWORD STORAGE_DEVICE_FLAG_READWRITE = 0x2;
constexpr DWORD STORE_ATTRIBUTE_UNFORMATTED = 0x4;  // no partition table yet
constexpr DWORD STORE_ATTRIBUTE_AUTOMOUNT = 0x20;   // partitions mount when the store is first seen

struct PARTINFO {
  DWORD cbSize;  // 296
  WCHAR szPartitionName[32];
  WCHAR szFileSys[32];
  WCHAR szVolumeName[64];
  ULONGLONG snNumSectors;
  FILETIME ftCreated;
  FILETIME ftLastModified;
  DWORD dwAttributes;
  BYTE bPartType;
};
static_assert(sizeof(PARTINFO) == PARTITION_INFO_BYTES);
static_assert(offsetof(PARTINFO, snNumSectors) == 264 && offsetof(PARTINFO, bPartType) == 292);

// The fifteen operations, with the storage manager's own signatures.
using PFN_OpenStore = HANDLE (*)(LPCWSTR deviceName);
using PFN_DismountStore = BOOL (*)(HANDLE store);
using PFN_FormatStore = BOOL (*)(HANDLE store);
using PFN_FindFirstStore = HANDLE (*)(STOREINFO* info);
using PFN_FindNextStore = BOOL (*)(HANDLE search, STOREINFO* info);
using PFN_FindCloseStore = BOOL (*)(HANDLE search);
using PFN_GetStoreInfo = BOOL (*)(HANDLE store, STOREINFO* info);
using PFN_CreatePartitionEx = BOOL (*)(HANDLE store, LPCWSTR name, BYTE partType, ULONGLONG sectors);
using PFN_OpenPartition = HANDLE (*)(HANDLE store, LPCWSTR name);
using PFN_MountPartition = BOOL (*)(HANDLE partition);
using PFN_SetPartitionAttributes = BOOL (*)(HANDLE partition, DWORD attributes);
using PFN_FormatPartition = BOOL (*)(HANDLE partition);
using PFN_FindFirstPartition = HANDLE (*)(HANDLE store, PARTINFO* info);
using PFN_FindNextPartition = BOOL (*)(HANDLE search, PARTINFO* info);
using PFN_FindClosePartition = BOOL (*)(HANDLE search);

// Libraries by name, as the newer OS binds the storage manager's entries:
// "coredll.dll" exports the fifteen operations above under their own names.
// Loading counts a reference that FreeLibrary gives back.
HMODULE LoadLibraryW(LPCWSTR name);
// Null, with ERROR_PROC_NOT_FOUND, for a name the library does not export.
void* GetProcAddressW(HMODULE module, LPCWSTR name);
BOOL FreeLibrary(HMODULE module);

// The older OS: store handles come from CreateFileW on "\StoreMgr\<device
// name>" (access 0, disposition 0) and store searches from FindFirstFileW on
// "\StoreMgr" with a STOREINFO as the result record. The other operations are
// the handle-based system-call entries at 0xF0010000 - 4 * (set * 256 +
// method); the platform resolves such an entry address to the function the
// kernel would run there (null for an address that is no entry). The entries
// take the handle first and return a DWORD (success is exactly 1).
void* SystemCallEntry(uintptr_t entryAddress);
constexpr uintptr_t SystemCallEntryAddress(uint32_t apiSet, uint32_t method) {
  return 0xF0010000u - 4u * (apiSet * 256u + method);
}

// Disk control calls on store handles.
constexpr DWORD IOCTL_DISK_GET_SECTOR_ADDR = 0x00071C50;  // in: sector numbers; out: flash addresses
constexpr DWORD SECTOR_ADDRESS_NONE = 0xFFFFFFFF;          // the sector holds no data
BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     DWORD* bytesReturned, LPVOID overlapped);

// Disk requests on store handles: sectors through one or more buffers.
constexpr DWORD IOCTL_DISK_READ = 0x00075C08;
constexpr DWORD IOCTL_DISK_WRITE = 0x00079C0C;
struct SG_BUF {
  BYTE* sb_buf;
  DWORD sb_len;
};
struct SG_REQ {
  DWORD sr_start;    // first sector
  DWORD sr_num_sec;  // sectors
  DWORD sr_num_sg;   // buffers in sr_sglist (the record grows by one SG_BUF per extra buffer)
  DWORD sr_status;   // ERROR_SUCCESS or the failure
  void (*sr_callback)(SG_REQ* request);  // not called: requests complete before DeviceIoControl returns
  SG_BUF sr_sglist[1];
};

// Test hook: the reference count "coredll.dll" has in this process.
int LibraryReferenceCount(LPCWSTR name);
// Test hooks: the export `name` of "coredll.dll" goes missing (as on an OS
// build without it) until the reset, which also forgets every reference.
void LibraryHideExportForTests(LPCWSTR name);
void LibraryResetForTests();
// Test hook: forgets the volumes this process mounted, as a restart of the
// storage manager would; the next look at a store mounts as its profile says.
void StorageResetForTests();
