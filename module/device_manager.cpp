#include "module/device_manager.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "module/atomic_file.h"
#include "module/flash_disk_layout.h"
#include "module/named_mutex.h"
#include "module/registry_text.h"
#include "module/storage_manager.h"
#include "module/store_bytes.h"

namespace {

constexpr char kTableFile[] = "/devices.reg";
constexpr char16_t kLockName[] = u"DeviceManager";
constexpr uint32_t kLockTimeoutMs = 60000;

// Loaded at module start: the first of these keys that exists.
constexpr const char16_t* kBootDriverKeys[] = {u"Drivers\\BuiltIn\\StrataFMD", u"Drivers\\BlockDevice\\StrataFMD"};
constexpr uint32_t kBootDeviceId = 1;

constexpr char16_t kDefaultPrefix[] = u"DSK";
constexpr size_t kPrefixChars = 3;  // the device manager only loads drivers with three-letter prefixes
// Legacy names carry one digit; index 0 comes after 9, as a tenth device.
constexpr uint32_t kFirstIndex = 1;
constexpr uint32_t kLastIndex = 9;
constexpr uint32_t kWrappedIndex = 0;
constexpr char16_t kNameEnd = u':';
constexpr uint32_t kDecimal = 10;

// Layout of devices.reg, in the registry's own text form.
constexpr char16_t kTableKey[] = u"DeviceManager";
constexpr char16_t kActiveKey[] = u"Active";
constexpr char16_t kInterfacesKey[] = u"Interfaces";
constexpr char16_t kConfigKey[] = u"Config";

void SetText(RegKey* key, std::u16string_view name, std::u16string_view text) {
  std::vector<uint8_t> bytes((text.size() + 1) * sizeof(char16_t));
  for (size_t i = 0; i < text.size(); i++) StoreLe16(bytes.data() + i * sizeof(char16_t), text[i]);
  RegistrySetValue(key, name, REG_SZ, bytes.data(), bytes.size());
}

void SetDword(RegKey* key, std::u16string_view name, uint32_t value) {
  uint8_t bytes[sizeof value];
  StoreLe32(bytes, value);
  RegistrySetValue(key, name, REG_DWORD, bytes, sizeof bytes);
}

std::u16string Number(uint32_t value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string LegacyName(std::u16string_view prefix, uint32_t index) {
  std::u16string name(prefix);
  name += static_cast<char16_t>(u'0' + index);
  name += kNameEnd;
  return name;
}

bool NameTaken(const DeviceTable& table, std::u16string_view name) {
  for (const ActiveDevice& d : table.devices) {
    if (RegistryNameEqual(d.legacyName, name)) return true;
  }
  return false;
}

// The legacy name a driver with `config` gets now; false when its prefix is
// not three letters or its index is taken.
bool ChooseName(const DeviceTable& table, const RegKey& config, std::u16string* name) {
  std::u16string prefix = kDefaultPrefix;
  DriverReadText(&config, u"Prefix", &prefix);
  if (prefix.size() != kPrefixChars) return false;
  uint32_t index = 0;
  if (DriverReadDword(&config, u"Index", &index)) {
    if (index > kLastIndex) return false;
    *name = LegacyName(prefix, index);
    return !NameTaken(table, *name);
  }
  for (uint32_t i = kFirstIndex; i <= kLastIndex + 1; i++) {
    *name = LegacyName(prefix, i <= kLastIndex ? i : kWrappedIndex);
    if (!NameTaken(table, *name)) return true;
  }
  return false;
}

void AddInterface(DeviceTable* table, std::u16string_view interfaceClass, std::u16string_view name) {
  if (!DeviceInterfaceAdvertised(*table, interfaceClass, name)) {
    table->interfaces.push_back(DeviceInterface{std::u16string(interfaceClass), std::u16string(name)});
  }
}

// What the module brought up at start, from the live registry as it is.
void BootTable(const RegistryData& live, DeviceTable* table) {
  *table = DeviceTable{};
  table->nextId = kBootDeviceId + 1;
  for (const char16_t* key : kBootDriverKeys) {
    const RegKey* driver = RegistryFindKey(live, key);
    if (driver == nullptr) continue;
    ActiveDevice device;
    FlashDiskGeometry geometry;
    device.id = kBootDeviceId;
    device.driverKey = key;
    device.config = *driver;
    if (StoreDriverGeometry(*driver, &geometry) && ChooseName(*table, *driver, &device.legacyName)) {
      AddInterface(table, kBlockDriverInterface, device.legacyName);
      table->devices.push_back(device);
    }
    // The second key is only looked at when the first does not exist.
    break;
  }
}

RegistryData EncodeTable(const DeviceTable& table) {
  RegistryData data;
  bool created = false;
  SetDword(RegistryCreateKey(&data, kTableKey, &created), u"NextId", table.nextId);
  for (const ActiveDevice& d : table.devices) {
    std::u16string path = RegistryJoinPath(kActiveKey, Number(d.id));
    RegKey* key = RegistryCreateKey(&data, path, &created);
    SetText(key, u"Key", d.driverKey);
    SetText(key, u"Name", d.legacyName);
    RegistryCreateKey(&data, RegistryJoinPath(path, kConfigKey), &created)->values = d.config.values;
  }
  for (size_t i = 0; i < table.interfaces.size(); i++) {
    RegKey* key = RegistryCreateKey(&data, RegistryJoinPath(kInterfacesKey, Number(static_cast<uint32_t>(i))), &created);
    SetText(key, u"Class", table.interfaces[i].interfaceClass);
    SetText(key, u"Name", table.interfaces[i].name);
  }
  return data;
}

bool DecodeId(std::u16string_view text, uint32_t* id) {
  uint64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    value = value * kDecimal + static_cast<uint32_t>(c - u'0');
    if (value > UINT32_MAX) return false;
  }
  *id = static_cast<uint32_t>(value);
  return !text.empty() && value != 0;
}

bool DecodeTable(const RegistryData& data, DeviceTable* table) {
  *table = DeviceTable{};
  if (!DriverReadDword(RegistryFindKey(data, kTableKey), u"NextId", &table->nextId)) return false;
  std::u16string sub;
  for (size_t i = 0; RegistrySubkeyName(data, kActiveKey, i, &sub); i++) {
    std::u16string path = RegistryJoinPath(kActiveKey, sub);
    const RegKey* key = RegistryFindKey(data, path);
    const RegKey* config = RegistryFindKey(data, RegistryJoinPath(path, kConfigKey));
    ActiveDevice d;
    if (!DecodeId(sub, &d.id) || !DriverReadText(key, u"Key", &d.driverKey) ||
        !DriverReadText(key, u"Name", &d.legacyName) || config == nullptr) {
      return false;
    }
    d.config = *config;
    d.config.path = d.driverKey;
    table->devices.push_back(d);
  }
  for (size_t i = 0; RegistrySubkeyName(data, kInterfacesKey, i, &sub); i++) {
    const RegKey* key = RegistryFindKey(data, RegistryJoinPath(kInterfacesKey, sub));
    DeviceInterface entry;
    if (!DriverReadText(key, u"Class", &entry.interfaceClass) || !DriverReadText(key, u"Name", &entry.name)) {
      return false;
    }
    table->interfaces.push_back(entry);
  }
  return true;
}

// Reads the record; `recorded` tells whether there was one (else the table
// is the boot state).
bool LoadTable(const Module& module, const RegistryData& live, DeviceTable* table, std::string* error) {
  std::string path = DeviceTablePath(module.dir);
  struct stat st;
  // The record is only ever replaced by rename or removed as a whole.
  bool found = ::stat(path.c_str(), &st) == 0;
  if (!found && errno == ENOENT) {
    BootTable(live, table);
    return true;
  }
  RegistryData data;
  bool unread = false;
  bool parsed = RegistryParseFile(path, found ? &st : nullptr, &data, &unread, error);
  if (unread) return false;
  if (!parsed || !DecodeTable(data, table)) {
    *error = path + ": not a device table" + (error->empty() ? "" : ": " + *error);
    return false;
  }
  return true;
}

// One change of the table as a single step against every other process.
// `change` returns the outcome; the table is saved only when it is Ok.
template <typename Change>
DeviceResult ChangeTable(const Module& module, Change change, std::string* error) {
  bool existed = false;
  NamedMutex* mutex = NamedMutexOpen(ModuleLocksPath(module.dir), kLockName, &existed, error);
  if (mutex == nullptr) return DeviceResult::Failed;
  NamedMutexResult locked = NamedMutexLock(mutex, kLockTimeoutMs);
  if (locked != NamedMutexResult::Acquired && locked != NamedMutexResult::Abandoned) {
    NamedMutexClose(mutex);
    *error = "the device manager stays busy";
    return DeviceResult::Failed;
  }
  RegistryData live;
  DeviceTable table;
  DeviceResult result = DeviceResult::Failed;
  if (RegistryLoadLive(module.dir, &live, error) && LoadTable(module, live, &table, error)) {
    result = change(live, &table);
    if (result == DeviceResult::Ok &&
        !AtomicWriteFile(DeviceTablePath(module.dir), RegistryToText(EncodeTable(table)), error)) {
      result = DeviceResult::Failed;
    }
  }
  NamedMutexUnlock(mutex);
  NamedMutexClose(mutex);
  return result;
}

}  // namespace

std::string DeviceTablePath(const std::string& moduleDir) { return moduleDir + kTableFile; }

bool DeviceTableLoad(const Module& module, const RegistryData& live, DeviceTable* table, std::string* error) {
  return LoadTable(module, live, table, error);
}

bool DeviceInterfaceAdvertised(const DeviceTable& table, std::u16string_view interfaceClass,
                               std::u16string_view name) {
  for (const DeviceInterface& i : table.interfaces) {
    if (RegistryNameEqual(i.interfaceClass, interfaceClass) && RegistryNameEqual(i.name, name)) return true;
  }
  return false;
}

DeviceResult DeviceActivate(const Module& module, const ModuleFlash& flash, std::u16string_view driverKey,
                            ActiveDevice* started, std::string* error) {
  return ChangeTable(
      module,
      [&](const RegistryData& live, DeviceTable* table) {
        const RegKey* driver = RegistryFindKey(live, driverKey);
        if (driver == nullptr) {
          *error = "the driver key does not exist";
          return DeviceResult::NoSuchKey;
        }
        ActiveDevice device;
        device.id = table->nextId;
        device.driverKey = driver->path;
        device.config = *driver;
        FlashDiskGeometry geometry;
        FlashDiskLayout layout;
        if (!StoreDriverGeometry(*driver, &geometry)) {
          *error = "the driver key has no MemBase and MemLen";
          return DeviceResult::Refused;
        }
        if (!FlashDiskLayoutFor(flash, geometry, &layout, error)) return DeviceResult::Refused;
        if (!ChooseName(*table, *driver, &device.legacyName)) {
          *error = "the driver's prefix is not three letters, or its index is taken";
          return DeviceResult::Refused;
        }
        // Ids are never reused before a restart, so a stale handle cannot
        // reach a newer device.
        if (++table->nextId == 0) table->nextId = kBootDeviceId + 1;
        table->devices.push_back(device);
        AddInterface(table, kBlockDriverInterface, device.legacyName);
        *started = device;
        return DeviceResult::Ok;
      },
      error);
}

DeviceResult DeviceDeactivate(const Module& module, uint32_t id, std::string* error) {
  return ChangeTable(
      module,
      [&](const RegistryData&, DeviceTable* table) {
        for (size_t i = 0; i < table->devices.size(); i++) {
          if (table->devices[i].id != id) continue;
          std::u16string name = table->devices[i].legacyName;
          table->devices.erase(table->devices.begin() + static_cast<std::ptrdiff_t>(i));
          std::erase_if(table->interfaces, [&](const DeviceInterface& e) { return RegistryNameEqual(e.name, name); });
          return DeviceResult::Ok;
        }
        *error = "no device with id " + std::to_string(id);
        return DeviceResult::NotFound;
      },
      error);
}

DeviceResult DeviceAdvertise(const Module& module, std::u16string_view interfaceClass, std::u16string_view name,
                             bool add, std::string* error) {
  return ChangeTable(
      module,
      [&](const RegistryData&, DeviceTable* table) {
        if (add) {
          AddInterface(table, interfaceClass, name);
          return DeviceResult::Ok;
        }
        size_t removed = std::erase_if(table->interfaces, [&](const DeviceInterface& e) {
          return RegistryNameEqual(e.interfaceClass, interfaceClass) && RegistryNameEqual(e.name, name);
        });
        if (removed != 0) return DeviceResult::Ok;
        *error = "the interface is not advertised";
        return DeviceResult::NotFound;
      },
      error);
}

bool DeviceManagerRestart(const std::string& moduleDir, std::string* error) {
  std::string path = DeviceTablePath(moduleDir);
  if (std::remove(path.c_str()) == 0 || errno == ENOENT) return true;
  *error = "cannot remove " + path + ": " + std::strerror(errno);
  return false;
}
