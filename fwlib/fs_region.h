// The File System region: the flash disk driver's registry values, its
// storage profile and the store "Internal Flash", with the store's usage.
#pragma once

#include <cstdint>

#include "fwlib/regions.h"
#include "platform/storage.h"

// What FWLGetFsUsage counts.
constexpr uint32_t FS_USAGE_PARTITIONS = 2;      // bytes in use on the store's partitions
constexpr uint32_t FS_USAGE_MAPPED_SECTORS = 3;  // bytes of the store's sectors that hold data

// The name of the flash disk's store.
constexpr WCHAR FS_STORE_NAME[] = u"Internal Flash";

// The flash a file-system stream's store lies on: the stream's own base and
// length, or the File System region's where the stream leaves them unknown
// (or the length 0), as the region table has them.
struct FsStreamArea {
  uint32_t base;
  uint32_t length;
};
FsStreamArea FsStreamRegion(uint32_t memBase, uint32_t memLen);

// The File System rule of the region scan, on an entry holding its defaults.
// Sets the store device name and the partitions' bytes in use in the library
// state when the store is found.
void ScanFileSystemRegion(FlashRegion* entry);

// Usage of an open store whose information record is `info`; 0 for an
// unknown kind or when the count cannot be made.
uint32_t FWLGetFsUsage(HANDLE store, const STOREINFO* info, uint32_t kind);
