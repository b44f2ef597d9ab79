// Reaching the FAT volume a module path lies on: the mounted volume its
// first component names, one store session per call (flash lock held, disk
// mounted), the volume mounted on the partition.
#pragma once

#include <string>

#include "module/fat_volume.h"
#include "module/store_volume.h"
#include "platform/storage_internal.h"

struct VolumeAccess {
  StoreDevice device;
  StoreSession session;
  bool held = false;
  uint32_t slot = 0;
  StorePartitionDevice partition;
  FatVolume fat;
};

// Where a path lies: the volume's store and partition, and the path inside
// the volume ("" for the volume's own folder).
struct VolumePlace {
  std::u16string device;
  uint32_t slot = 0;
  uint32_t start = 0;  // the partition's first sector, to notice it being replaced
  std::u16string inner;
};

// True when `path` lies on a mounted volume; then `access` holds the
// session with the volume mounted, or, when the volume's file system does not
// mount, nothing (the last error set, *mounted false).
bool VolumeOpenPath(LPCWSTR path, uint32_t parseFlags, VolumePlace* place, VolumeAccess* access, bool* mounted);
// The session on a place found before; false (last error set) when the
// partition is gone or its file system does not mount.
bool VolumeOpenPlace(const VolumePlace& place, VolumeAccess* access);
void VolumeClose(VolumeAccess* access);

// The last error for a FAT result; false for anything but Ok.
bool VolumeSucceeded(FatResult result);

// An identity for share modes: a FAT file has no inode, so the store, the
// partition and the path inside it (without regard to case) stand for it.
void VolumeFileIdentity(const VolumePlace& place, uint64_t* dev, uint64_t* ino);
