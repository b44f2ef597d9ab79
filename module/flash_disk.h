// The module OS's flash block driver: 512-byte logical sectors kept in a
// log-structured layout on the NOR flash File System region (format in
// flash_disk_layout.h and docs/flash-disk.md).
//
// A FlashDisk is a mount: what one scan of the region found, kept up to date
// by its own changes. Other processes (and the program's own flash layer)
// write the same flash, so callers use a mount only while holding the
// module's flash lock (flash_lock.h); one kept past its release serves again
// only while FlashDiskUpToDate says nothing else changed the flash since.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/flash_disk_layout.h"
#include "module/module_flash.h"

struct FlashDiskBlock {
  BlockHeaderKind kind = BlockHeaderKind::Erased;
  uint32_t sequence = 0;  // order in which blocks were opened; later holds newer copies
  uint32_t fill = 0;      // slots taken (written or torn), from slot 0 on
  uint32_t live = 0;      // slots holding the current copy of a sector
};

struct FlashDisk {
  ModuleFlash flash;
  FlashDiskGeometry geometry;
  FlashDiskLayout layout;
  std::vector<uint32_t> sectorSlot;  // logical sector -> block * slotsPerBlock + slot, or kFlashDiskNoAddress
  std::vector<FlashDiskBlock> blocks;
  // Committed copies that lost to a newer copy of their sector (a write cut
  // short before the old copy was marked): marked obsolete before the disk
  // is changed, so that trimming the sector cannot bring them back.
  std::vector<uint32_t> stale;
  uint32_t lastSequence = 0;
  uint32_t active = kFlashDiskNoAddress;  // block new copies go to
  // The mount tells what the flash holds while the flash's change count
  // (module_flash.h) is `changes`: taken before the scan, moved along by the
  // mount's own changes as long as nothing else changed the flash, and no
  // longer tracked once a change fails part way (then only a new scan
  // tells). Never tracked where the flash does not count its changes.
  bool tracked = false;
  uint64_t changes = 0;
};

// Scans the region. Fails only when the geometry does not fit the flash or
// the flash cannot be read; blocks holding anything else than this layout are
// taken as free space (they are erased before use).
bool FlashDiskMount(const ModuleFlash& flash, const FlashDiskGeometry& geometry, FlashDisk* disk,
                    std::string* error);

// True when nothing but the mount itself changed the flash since its scan.
bool FlashDiskUpToDate(const FlashDisk& disk);

inline uint32_t FlashDiskSectorCount(const FlashDisk& disk) { return disk.layout.sectorCount; }

// Flash offset of the sector's data, or kFlashDiskNoAddress when it holds none.
uint32_t FlashDiskSectorAddress(const FlashDisk& disk, uint32_t sector);

// Sectors of [first, first + count) that hold data; the range must lie in the disk.
uint32_t FlashDiskMappedCount(const FlashDisk& disk, uint32_t first, uint32_t count);

// Sector ranges must lie inside the disk (callers check). A sector without
// data reads as erased flash (0xFF).
bool FlashDiskRead(FlashDisk* disk, uint32_t first, uint32_t count, uint8_t* out, std::string* error);
bool FlashDiskWrite(FlashDisk* disk, uint32_t first, uint32_t count, const uint8_t* data, std::string* error);
// Drops the data of the sectors: afterwards they hold none.
bool FlashDiskTrim(FlashDisk* disk, uint32_t first, uint32_t count, std::string* error);
// Drops every sector: all blocks are marked, then erased.
bool FlashDiskFormat(FlashDisk* disk, std::string* error);
