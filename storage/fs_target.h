// The flash disk of this module as a restore will find it: where its driver
// lays the store and with which geometry, the folder its volumes mount
// under, and the store's sectors. A file-system stream is judged against
// these facts, never against what its own header claims.
#pragma once

#include <cstdint>

#include "platform/types.h"
#include "storage/fs_stream_header.h"

// The store's partition table has four entries.
constexpr uint32_t FS_STORE_MAX_PARTITIONS = 4;
constexpr size_t FS_VOLUME_CHARS = 64;

struct FsTarget {
  bool driver;  // the flash disk driver's key is there
  // The driver's values; FS_STREAM_VALUE_UNKNOWN where the key has none.
  uint32_t memBase;
  uint32_t memLen;
  uint32_t blockSize;
  uint32_t sectorSize;
  WCHAR folder[FS_STREAM_FOLDER_CHARS + 1];  // the profile's "Folder"; empty when it has none
  bool store;                                 // the store "Internal Flash" is online
  uint32_t storeSectorBytes;
  uint64_t storeSectors;
  uint64_t partitionSectors;  // what partitions can take once the store is formatted
  // The volumes its partitions are mounted as now, for the image file's own place.
  uint32_t volumeCount;
  WCHAR volumes[FS_STORE_MAX_PARTITIONS][FS_VOLUME_CHARS + 1];
};

// Reads the facts from the registry and the storage manager.
void FsTargetRead(FsTarget* target);

// The volume the k-th partition of a restored store mounts as:
// "\Folder", then "\Folder2", "\Folder3" ... False without a folder.
bool FsTargetVolumeName(const FsTarget& target, uint32_t index, WCHAR* name, size_t capacity);

// Whether the module path `path` lies on one of the store's volumes now.
bool FsTargetHoldsPath(const FsTarget& target, const WCHAR* path);
