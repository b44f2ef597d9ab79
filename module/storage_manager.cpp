#include "module/storage_manager.h"

#include <ctime>

#include "module/device_manager.h"
#include "module/flash_lock.h"
#include "module/registry_store.h"
#include "module/store_bytes.h"
#include "module/store_volume.h"

namespace {

constexpr char16_t kProfilesKey[] = u"System\\StorageManager\\Profiles";
constexpr char16_t kDefaultFolder[] = u"Mounted Volume";
constexpr char16_t kDefaultFileSystem[] = u"FATFS";
constexpr uint32_t kDefaultSectorBytes = 512;
constexpr uint32_t kDefaultBlockBytes = 0x40000;
constexpr char16_t kPartitionNamePrefix[] = u"Part";
constexpr uint32_t kPartitionNameDigits = 2;
constexpr uint32_t kDecimal = 10;

// Factory content: folders and files of the flash disk's FAT volume, some
// with long names, dated with the factory's date.
struct FactoryFile {
  const char16_t* path;
  uint32_t bytes;  // 0 with a folder
  bool folder;
};
constexpr FactoryFile kFactoryFiles[] = {
    {u"Documents", 0, true},
    {u"Documents\\Service Log.txt", 1800, false},
    {u"Documents\\Calibration Data", 0, true},
    {u"Documents\\Calibration Data\\sensor-settings.ini", 700, false},
    {u"Program Files", 0, true},
    {u"Program Files\\README.TXT", 5200, false},
    {u"startup.cfg", 96, false},
    {u"Recorded measurements 2009.csv", 70000, false},
};
// A partition type of the FAT family, for a disk below 32 MB.
constexpr uint8_t kFactoryPartitionType = 0x04;
// The factory's date: when the module's OS image was built.
constexpr int kFactoryYear = 2009, kFactoryMonth = 3, kFactoryDay = 5;
constexpr int kFactoryHour = 14, kFactoryMinute = 3, kFactorySecond = 7;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint32_t kPatternStep = 31;
constexpr uint8_t kFactoryFileAttributes = 0x20;  // archive

const RegValue* Value(const RegKey* key, std::u16string_view name) {
  return key == nullptr ? nullptr : RegistryFindValue(*key, name);
}

// The store of a running driver: its region from the values it started
// with, its profile as the live registry has it now.
bool DeviceFromDriver(const RegistryData& live, const ActiveDevice& driver, StoreDevice* device) {
  *device = StoreDevice{};
  if (!StoreDriverGeometry(driver.config, &device->geometry)) return false;
  device->instance = driver.id;
  device->driverKey = driver.driverKey;
  device->deviceName = driver.legacyName;
  DriverReadText(&driver.config, u"Profile", &device->profile);

  const RegKey* profile = device->profile.empty()
                              ? nullptr
                              : RegistryFindKey(live, RegistryJoinPath(kProfilesKey, device->profile));
  if (!DriverReadText(profile, u"Name", &device->storeName)) device->storeName = device->profile;
  if (!DriverReadText(profile, u"Folder", &device->folder) || device->folder.empty()) device->folder = kDefaultFolder;
  if (!DriverReadText(profile, u"DefaultFileSystem", &device->fileSystem) || device->fileSystem.empty()) {
    device->fileSystem = kDefaultFileSystem;
  }
  uint32_t autoMount = 1;
  DriverReadDword(profile, u"AutoMount", &autoMount);
  device->autoMount = autoMount != 0;
  return true;
}

bool WriteTable(StoreSession* session, std::string* error) {
  std::vector<uint8_t> sector(session->disk.geometry.sectorBytes);
  PartitionTableEncode(session->table, sector.data(), static_cast<uint32_t>(sector.size()));
  return FlashDiskWrite(&session->disk, kStoreTableSector, 1, sector.data(), error);
}

bool TableFits(const StoreSession& session) {
  return session.disk.geometry.sectorBytes >= kStoreTableMinSectorBytes;
}

const StorePartition* Partition(const StoreSession& session, uint32_t slot) {
  if (slot >= kStoreMaxPartitions || !session.table.slots[slot].used) return nullptr;
  return &session.table.slots[slot];
}

uint64_t FactoryFileTime() {
  struct tm built = {};
  built.tm_year = kFactoryYear - 1900;
  built.tm_mon = kFactoryMonth - 1;
  built.tm_mday = kFactoryDay;
  built.tm_hour = kFactoryHour;
  built.tm_min = kFactoryMinute;
  built.tm_sec = kFactorySecond;
  return static_cast<uint64_t>(timegm(&built) + kSecondsFrom1601To1970) * kTicksPerSecond;
}

// Called with the flash lock held. The kept mount is taken out either way,
// so a session begun inside this one scans for itself.
bool TakeKeptMount(FlashDisk* kept, const ModuleFlash& flash, const FlashDiskGeometry& geometry, FlashDisk* disk) {
  const FlashDiskGeometry& g = kept->geometry;
  bool usable = kept->flash.ops == flash.ops && kept->flash.ctx == flash.ctx && g.base == geometry.base &&
                g.length == geometry.length && g.blockBytes == geometry.blockBytes &&
                g.sectorBytes == geometry.sectorBytes && FlashDiskUpToDate(*kept);
  if (usable) *disk = std::move(*kept);
  *kept = FlashDisk{};
  return usable;
}

}  // namespace

bool DriverReadDword(const RegKey* key, std::u16string_view name, uint32_t* out) {
  const RegValue* v = Value(key, name);
  if (v == nullptr || v->type != REG_DWORD || v->data.size() != sizeof(uint32_t)) return false;
  *out = LoadLe32(v->data.data());
  return true;
}

bool DriverReadText(const RegKey* key, std::u16string_view name, std::u16string* out) {
  const RegValue* v = Value(key, name);
  if (v == nullptr || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return false;
  out->clear();
  for (size_t i = 0; i + 1 < v->data.size(); i += 2) {
    char16_t c = LoadLe16(v->data.data() + i);
    if (c == 0) break;
    out->push_back(c);
  }
  return true;
}

bool StoreDriverGeometry(const RegKey& driver, FlashDiskGeometry* geometry) {
  *geometry = FlashDiskGeometry{};
  geometry->sectorBytes = kDefaultSectorBytes;
  geometry->blockBytes = kDefaultBlockBytes;
  if (!DriverReadDword(&driver, u"MemBase", &geometry->base) ||
      !DriverReadDword(&driver, u"MemLen", &geometry->length)) {
    return false;
  }
  DriverReadDword(&driver, u"SectorSize", &geometry->sectorBytes);
  DriverReadDword(&driver, u"BlockSize", &geometry->blockBytes);
  return true;
}

bool StoreListDevices(const Module& module, std::vector<StoreDevice>* devices, std::string* error) {
  devices->clear();
  RegistryData live;
  DeviceTable table;
  if (!RegistryLoadLive(module.dir, &live, error) || !DeviceTableLoad(module, live, &table, error)) return false;
  for (const ActiveDevice& driver : table.devices) {
    // The storage manager sees a disk only while its block interface is up.
    if (!DeviceInterfaceAdvertised(table, kBlockDriverInterface, driver.legacyName)) continue;
    StoreDevice device;
    if (DeviceFromDriver(live, driver, &device)) devices->push_back(device);
  }
  return true;
}

bool StoreFindDevice(const Module& module, std::u16string_view deviceName, StoreDevice* device, std::string* error) {
  std::vector<StoreDevice> devices;
  if (!StoreListDevices(module, &devices, error)) return false;
  for (const StoreDevice& d : devices) {
    if (RegistryNameEqual(d.deviceName, deviceName)) {
      *device = d;
      return true;
    }
  }
  *error = "no store device of that name";
  return false;
}

bool StoreSessionBegin(const Module& module, const ModuleFlash& flash, const StoreDevice& device,
                       StoreSession* session, std::string* error, FlashDisk* kept) {
  *session = StoreSession{};
  NamedMutex* held = ModuleFlashLock(module, error);
  if (held == nullptr) return false;
  bool ok = (kept != nullptr && TakeKeptMount(kept, flash, device.geometry, &session->disk)) ||
            FlashDiskMount(flash, device.geometry, &session->disk, error);
  if (ok && TableFits(*session)) {
    std::vector<uint8_t> sector(session->disk.geometry.sectorBytes);
    ok = FlashDiskRead(&session->disk, kStoreTableSector, 1, sector.data(), error);
    if (ok) {
      PartitionTableDecode(sector.data(), static_cast<uint32_t>(sector.size()), FlashDiskSectorCount(session->disk),
                           &session->table);
    }
  }
  if (!ok) {
    ModuleFlashUnlock(held);
    *session = StoreSession{};
    return false;
  }
  session->held = held;
  session->kept = kept;
  return true;
}

void StoreSessionEnd(StoreSession* session) {
  if (session->held != nullptr) {
    // Judged before the lock goes, while nobody else can change the flash.
    // A session begun inside this one may have left a mount that this one
    // no longer matches; that one stays.
    if (session->kept != nullptr && FlashDiskUpToDate(session->disk)) *session->kept = std::move(session->disk);
    ModuleFlashUnlock(session->held);
  }
  *session = StoreSession{};
}

uint64_t StoreFreeSectors(const StoreSession& session) {
  return PartitionTableFreeSectors(session.table, FlashDiskSectorCount(session.disk));
}

uint32_t StoreBiggestCreatable(const StoreSession& session) {
  if (!TableFits(session)) return 0;
  return PartitionTableBiggestGap(session.table, FlashDiskSectorCount(session.disk), nullptr);
}

StoreResult StoreFormat(StoreSession* session, uint64_t now, std::string* error) {
  if (!FlashDiskFormat(&session->disk, error)) return StoreResult::FlashFault;
  session->table = PartitionTable{};
  if (!TableFits(*session)) {
    *error = "the store's sectors are too small for a partition table";
    return StoreResult::NotFormatted;
  }
  session->table.present = true;
  session->table.created = session->table.modified = now;
  return WriteTable(session, error) ? StoreResult::Ok : StoreResult::FlashFault;
}

StoreResult StoreCreatePartition(StoreSession* session, uint8_t type, uint64_t sectors, uint64_t now, uint32_t* slot,
                                 std::string* error) {
  if (!TableFits(*session)) {
    *error = "the store's sectors are too small for a partition table";
    return StoreResult::NotFormatted;
  }
  uint32_t start = 0;
  if (sectors > FlashDiskSectorCount(session->disk) ||
      !PartitionTablePlace(session->table, FlashDiskSectorCount(session->disk), static_cast<uint32_t>(sectors), slot,
                           &start)) {
    *error = "the store has no room for a partition of " + std::to_string(sectors) + " sectors";
    return StoreResult::NoRoom;
  }
  // A store without a table gets one with its first partition.
  if (!session->table.present) {
    session->table.present = true;
    session->table.created = now;
  }
  StorePartition& p = session->table.slots[*slot];
  p = StorePartition{true, type, start, static_cast<uint32_t>(sectors), now, now, 0};
  session->table.modified = now;
  if (!WriteTable(session, error)) {
    p = StorePartition{};
    return StoreResult::FlashFault;
  }
  return StoreResult::Ok;
}

StoreResult StoreFormatPartition(StoreSession* session, uint32_t slot, uint64_t now, std::string* error) {
  const StorePartition* p = Partition(*session, slot);
  if (p == nullptr) {
    *error = "no such partition";
    return StoreResult::NoPartition;
  }
  if (!FlashDiskTrim(&session->disk, p->start, p->count, error)) return StoreResult::FlashFault;
  // The partition's file system: what mounting it will read.
  StorePartitionDevice device;
  StorePartitionDeviceOpen(session, slot, &device);
  FatResult formatted = StorePartitionFormatFat(&device, now);
  if (formatted != FatResult::Ok) {
    *error = device.error.empty() ? std::string("no FAT volume fits the partition: ") + FatResultName(formatted)
                                  : device.error;
    return formatted == FatResult::IoError ? StoreResult::FlashFault : StoreResult::NoRoom;
  }
  session->table.slots[slot].modified = now;
  return WriteTable(session, error) ? StoreResult::Ok : StoreResult::FlashFault;
}

StoreResult StoreSetPartitionAttributes(StoreSession* session, uint32_t slot, uint32_t attributes, uint64_t now,
                                        std::string* error) {
  if (Partition(*session, slot) == nullptr) {
    *error = "no such partition";
    return StoreResult::NoPartition;
  }
  session->table.slots[slot].attributes = attributes;
  session->table.slots[slot].modified = now;
  return WriteTable(session, error) ? StoreResult::Ok : StoreResult::FlashFault;
}

uint32_t StorePartitionMappedSectors(const StoreSession& session, uint32_t slot) {
  const StorePartition* p = Partition(session, slot);
  return p == nullptr ? 0 : FlashDiskMappedCount(session.disk, p->start, p->count);
}

std::u16string StorePartitionName(uint32_t slot) {
  std::u16string name = kPartitionNamePrefix;
  std::u16string digits;
  for (uint32_t i = 0, v = slot; i < kPartitionNameDigits || v != 0; i++, v /= kDecimal) {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + v % kDecimal));
  }
  return name + digits;
}

bool StorePartitionSlot(std::u16string_view name, uint32_t* slot) {
  for (uint32_t i = 0; i < kStoreMaxPartitions; i++) {
    if (name == StorePartitionName(i)) {
      *slot = i;
      return true;
    }
  }
  return false;
}

bool StoreFactoryInstall(const Module& module, const ModuleFlash& flash, std::string* error) {
  std::vector<StoreDevice> devices;
  if (!StoreListDevices(module, &devices, error)) return false;
  if (devices.empty()) {
    *error = "the factory registry has no flash disk driver";
    return false;
  }
  StoreSession session;
  if (!StoreSessionBegin(module, flash, devices.front(), &session, error)) return false;
  uint64_t built = FactoryFileTime();
  uint32_t slot = 0;
  uint32_t sectors = FlashDiskSectorCount(session.disk);
  bool ok = StoreFormat(&session, built, error) == StoreResult::Ok &&
            StoreCreatePartition(&session, kFactoryPartitionType, sectors - kStoreFirstDataSector, built, &slot,
                                 error) == StoreResult::Ok;
  ok = ok && StoreFormatPartition(&session, slot, built, error) == StoreResult::Ok;
  StorePartitionDevice device;
  FatVolume volume;
  ok = ok && StorePartitionDeviceOpen(&session, slot, &device) &&
       FatMount(StorePartitionFat(&device), &volume) == FatResult::Ok;
  for (const FactoryFile& f : kFactoryFiles) {
    if (!ok) break;
    if (f.folder) {
      ok = FatMakeDirectory(&volume, f.path, built) == FatResult::Ok;
      continue;
    }
    std::vector<uint8_t> bytes(f.bytes);
    for (uint32_t i = 0; i < f.bytes; i++) bytes[i] = static_cast<uint8_t>(u'A' + (i * kPatternStep) % 26);
    ok = FatCreateFile(&volume, f.path, kFactoryFileAttributes, built) == FatResult::Ok &&
         FatWrite(&volume, f.path, 0, bytes.data(), f.bytes, built) == FatResult::Ok;
  }
  if (!ok && error->empty()) *error = "cannot lay down the factory's files on the flash disk";
  StoreSessionEnd(&session);
  return ok;
}
