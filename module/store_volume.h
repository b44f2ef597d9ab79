// The FAT volume inside a partition of a store: the partition's sectors as
// the FAT code's device, within one store session (flash lock held, disk
// mounted). What lies outside the partition cannot be reached through it.
#pragma once

#include <cstdint>
#include <string>

#include "module/fat_volume.h"
#include "module/storage_manager.h"

struct StorePartitionDevice {
  FlashDisk* disk = nullptr;
  uint32_t start = 0;  // the partition's first sector on the disk
  uint32_t count = 0;
  std::string error;   // the flash's word when a read or write failed
};

// The partition `slot` as a device; false when the entry is unused.
bool StorePartitionDeviceOpen(StoreSession* session, uint32_t slot, StorePartitionDevice* partition);
FatDevice StorePartitionFat(StorePartitionDevice* partition);

// Writes an empty FAT volume over the whole partition (the type and cluster
// size by its size), stamped `now`.
FatResult StorePartitionFormatFat(StorePartitionDevice* partition, uint64_t now);
