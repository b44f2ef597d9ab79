// What the storage manager's platform files share: the store and partition
// calls under the names the core library exports them by, sessions on a
// store of the attached module, and the volumes this process has mounted.
#pragma once

#include <string>
#include <string_view>

#include "module/storage_manager.h"
#include "platform/handles.h"
#include "platform/storage.h"

// The fifteen operations (exported by name from "coredll.dll", and behind
// the older OS's system-call entries). They set the last error on failure.
HANDLE StorageOpenStore(LPCWSTR deviceName);
BOOL StorageDismountStore(HANDLE store);
BOOL StorageFormatStore(HANDLE store);
HANDLE StorageFindFirstStore(STOREINFO* info);
BOOL StorageFindNextStore(HANDLE search, STOREINFO* info);
BOOL StorageFindCloseStore(HANDLE search);
BOOL StorageGetStoreInfo(HANDLE store, STOREINFO* info);
BOOL StorageCreatePartitionEx(HANDLE store, LPCWSTR name, BYTE partType, ULONGLONG sectors);
HANDLE StorageOpenPartition(HANDLE store, LPCWSTR name);
BOOL StorageMountPartition(HANDLE partition);
BOOL StorageSetPartitionAttributes(HANDLE partition, DWORD attributes);
BOOL StorageFormatPartition(HANDLE partition);
HANDLE StorageFindFirstPartition(HANDLE store, PARTINFO* info);
BOOL StorageFindNextPartition(HANDLE search, PARTINFO* info);
BOOL StorageFindClosePartition(HANDLE search);

// A store or partition handle's object. Both are file-system handles of the
// storage manager, so they share one handle kind.
constexpr uint32_t kStoreLevel = 0xFFFFFFFF;
struct StoreObject {
  HandleObject header;
  std::u16string device;
  uint32_t instance = 0;        // the driver instance the store was opened on
  uint32_t slot = kStoreLevel;  // partition table entry, or kStoreLevel for the store
  // The partition as it was opened: a partition put in its entry's place
  // since then is another one, and the handle no longer reaches it.
  uint32_t start = 0;
  uint32_t count = 0;
};

// The store object behind `handle`, at the store level or as a partition.
// Null with ERROR_INVALID_HANDLE otherwise.
StoreObject* StoreFromHandle(HANDLE handle);
StoreObject* PartitionFromHandle(HANDLE handle);

// Opens a session on the store `device` of the attached module and brings
// this process's mounts up to date with its partition table. False with
// ERROR_FILE_NOT_FOUND when the store does not exist (no such device, no
// module, a disk that does not mount or whose flash is busy).
bool StorageBegin(std::u16string_view device, StoreDevice* found, StoreSession* session);
void StorageEnd(StoreSession* session);
// Forgets the mount sessions pass on to each other; the module's flash it
// was of goes when the platform detaches.
void StorageDropKeptMount();

// Maps a module-side failure to the last error.
void StorageSetError(StoreResult result);

// Volumes this process has mounted (the storage manager's mount table).
// A store's partitions are mounted on first sight when its profile says
// "AutoMount"; after that only MountPartition mounts one. The table is of
// one module: looking at another module's store starts it afresh.
void VolumesSync(const std::string& moduleDir, const StoreDevice& device, const StoreSession& session);
// The volume name ("\Hard Disk") of a mounted partition; empty when not mounted.
std::u16string VolumeOf(std::u16string_view device, uint32_t slot);
// Gives the partition the first free name of \Folder, \Folder2, \Folder3 ...
void VolumeMount(const StoreDevice& device, uint32_t slot, const StorePartition& partition);
void VolumesDismountStore(std::u16string_view device);
uint32_t VolumesMountCount(std::u16string_view device);
void VolumesReset();

uint64_t StorageNow();

// Bytes of a partition's volume and the free ones among them, as its FAT
// file system counts them.
void PartitionSpace(StoreSession* session, uint32_t slot, uint64_t* total, uint64_t* free);
