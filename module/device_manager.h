// The module OS's device manager: which driver instances run on the module,
// under which legacy names ("DSK1:"), and which device interfaces are
// advertised. The storage manager attaches a store for every running flash
// disk whose block-driver interface is advertised.
//
// At module start the device manager loads the flash disk driver of
// "Drivers\BuiltIn\StrataFMD" (of "Drivers\BlockDevice\StrataFMD" when that
// key does not exist). As long as nothing changed since, that boot state is
// what the live registry says. The first change (a device activated or
// deactivated, an interface advertised or withdrawn) is recorded in
// devices.reg of the module directory, under the module's lock
// "DeviceManager", so every process on the module sees the same devices. A
// module restart removes the record: the boot state is back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/module_dir.h"
#include "module/module_flash.h"
#include "module/registry_store.h"

// The block-driver interface class, as the storage manager listens for it.
constexpr char16_t kBlockDriverInterface[] = u"{A4E7EDDA-E575-4252-9D6B-4195D48BB865}";

// A running driver instance.
struct ActiveDevice {
  uint32_t id = 0;             // unique on the module until it restarts; never 0
  std::u16string driverKey;    // the key it was activated from
  std::u16string legacyName;   // prefix, index and colon: "DSK1:"
  RegKey config;               // the driver key's values as the driver read them when it started
};

// An advertised interface: a class (GUID text in braces) and a device name.
struct DeviceInterface {
  std::u16string interfaceClass;
  std::u16string name;
};

struct DeviceTable {
  uint32_t nextId = 0;
  std::vector<ActiveDevice> devices;
  std::vector<DeviceInterface> interfaces;
};

// The module's devices; `live` is the live registry, which gives the boot
// state while nothing is recorded.
bool DeviceTableLoad(const Module& module, const RegistryData& live, DeviceTable* table, std::string* error);

bool DeviceInterfaceAdvertised(const DeviceTable& table, std::u16string_view interfaceClass,
                               std::u16string_view name);

enum class DeviceResult {
  Ok,
  NoSuchKey,      // activation: the driver key does not exist
  Refused,        // activation: the driver does not start with these values, or no index is free
  NotFound,       // no such device, or the interface is not advertised
  Failed,         // the record or the registry could not be read or written
};

// Starts an instance of the driver of `driverKey` (below HKEY_LOCAL_MACHINE):
// its legacy name has the key's "Prefix" ("DSK" when missing; three letters)
// and its "Index" or else the first free index (1..9, then 0). The driver
// reads its values now and checks its region against `flash`; it then
// advertises the block-driver interface under its legacy name.
DeviceResult DeviceActivate(const Module& module, const ModuleFlash& flash, std::u16string_view driverKey,
                            ActiveDevice* started, std::string* error);

// Stops the instance `id`; every interface advertised under its name is
// withdrawn with it.
DeviceResult DeviceDeactivate(const Module& module, uint32_t id, std::string* error);

// Adds the interface (adding one already there changes nothing) or
// withdraws it (NotFound when it is not advertised).
DeviceResult DeviceAdvertise(const Module& module, std::u16string_view interfaceClass, std::u16string_view name,
                             bool add, std::string* error);

// The boot state again, as a module restart brings it.
bool DeviceManagerRestart(const std::string& moduleDir, std::string* error);

std::string DeviceTablePath(const std::string& moduleDir);  // devices.reg
