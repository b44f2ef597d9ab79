// The module OS's storage manager, as far as it concerns the flash disk: the
// stores the loaded flash disk drivers offer, each with its partition table
// (store_partitions.h) on the disk itself.
//
// Everything here works on the module's registry and flash; what a store
// looks like to programs (records, handles, mounted volumes) is the
// platform's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/flash_disk.h"
#include "module/module_dir.h"
#include "module/module_flash.h"
#include "module/store_partitions.h"

struct NamedMutex;
struct RegKey;

// A store device: a flash disk driver instance and its storage profile.
struct StoreDevice {
  uint32_t instance = 0;      // the device manager's id of the driver instance
  std::u16string driverKey;   // registry key the driver was loaded from
  std::u16string deviceName;  // "DSK1:": the driver's prefix and instance index
  std::u16string profile;     // the driver's "Profile"
  std::u16string storeName;   // the profile's "Name"
  std::u16string folder;      // the profile's "Folder": volumes mount as \Folder, \Folder2 ...
  std::u16string fileSystem;  // the profile's "DefaultFileSystem"
  bool autoMount = true;      // the profile's "AutoMount"
  FlashDiskGeometry geometry;
};

// Registry values as the module's drivers read them: a DWORD of exactly four
// bytes; text (REG_SZ, REG_EXPAND_SZ) up to its terminator or its end.
bool DriverReadDword(const RegKey* key, std::u16string_view name, uint32_t* out);
bool DriverReadText(const RegKey* key, std::u16string_view name, std::u16string* out);

// The flash disk driver's region as it reads it from its key when it starts;
// false when the key has no "MemBase" and "MemLen" (the driver does not start).
bool StoreDriverGeometry(const RegKey& driver, FlashDiskGeometry* geometry);

// The stores of the running flash disk drivers (device_manager.h) whose
// block-driver interface is advertised, in the order they were started.
// Whether a disk mounts is not checked here.
bool StoreListDevices(const Module& module, std::vector<StoreDevice>* devices, std::string* error);

// Device names compare without regard to case.
bool StoreFindDevice(const Module& module, std::u16string_view deviceName, StoreDevice* device, std::string* error);

// One operation on a store: the flash lock held and the disk mounted.
struct StoreSession {
  NamedMutex* held = nullptr;
  FlashDisk disk;
  PartitionTable table;
  FlashDisk* kept = nullptr;  // where the mount goes when the session ends
};

// False (nothing held) when the lock cannot be had or the disk does not
// mount: then the store does not exist for now.
//
// Scanning the region is most of what a session costs (on NAND a page read
// per block), and a program asks about a store many times in a row. With
// `kept`, the mount an earlier session left there serves instead of a scan
// while nothing else has changed the flash since (FlashDiskUpToDate, which
// holds across processes), and this session's mount is left there when it
// ends.
bool StoreSessionBegin(const Module& module, const ModuleFlash& flash, const StoreDevice& device,
                       StoreSession* session, std::string* error, FlashDisk* kept = nullptr);
void StoreSessionEnd(StoreSession* session);

enum class StoreResult {
  Ok,
  NoRoom,         // no partition entry or no run of sectors left
  NoPartition,    // the partition does not exist (any more)
  NotFormatted,   // a sector size too small for a partition table
  FlashFault,     // the flash refused a read, program or erase
};

// Store level. Times are file times (100 ns since 1601).
uint64_t StoreFreeSectors(const StoreSession& session);
uint32_t StoreBiggestCreatable(const StoreSession& session);
// Empties the store: no sector holds data, and the table has no partitions.
StoreResult StoreFormat(StoreSession* session, uint64_t now, std::string* error);
// Adds a partition of `sectors` in the first gap that holds it; `slot`
// receives its table entry.
StoreResult StoreCreatePartition(StoreSession* session, uint8_t type, uint64_t sectors, uint64_t now, uint32_t* slot,
                                 std::string* error);

// Partition level; `slot` is the table entry.
StoreResult StoreFormatPartition(StoreSession* session, uint32_t slot, uint64_t now, std::string* error);
StoreResult StoreSetPartitionAttributes(StoreSession* session, uint32_t slot, uint32_t attributes, uint64_t now,
                                        std::string* error);
// Sectors of the partition that hold data.
uint32_t StorePartitionMappedSectors(const StoreSession& session, uint32_t slot);

// "Part00", "Part01" ...: partitions are named by their table entry.
std::u16string StorePartitionName(uint32_t slot);
// The table entry a partition name stands for; false for any other name.
bool StorePartitionSlot(std::u16string_view name, uint32_t* slot);

// Factory content of the store of a new module, on the module's flash as the
// factory programs it: the flash disk formatted, one partition spanning the
// store, and data in scattered sectors of it (runs with gaps between), so
// that backups and usage counts see a used, realistic disk. Reads the
// driver key from the module's live registry, which must be installed.
bool StoreFactoryInstall(const Module& module, const ModuleFlash& flash, std::string* error);
