// The device manager's calls over the attached module's device table
// (module/device_manager.h).
#include "platform/device_manager.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "module/device_manager.h"
#include "platform/error.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

// Device handles are not kernel objects: they carry the device's id, in an
// odd value no handle of the handle table (an aligned pointer) can take.
constexpr uintptr_t kDeviceHandleTag = 1;
constexpr uint32_t kDeviceHandleShift = 1;

constexpr char16_t kDeviceNamespace[] = u"$device\\";
constexpr char16_t kLegacyNameEnd = u':';
constexpr size_t kGuidTextBytes = sizeof "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";

struct DeviceSearchObject {
  HandleObject header;
  std::vector<ActiveDevice> matches;  // taken when the search began
  size_t next = 0;
};

struct DeviceCallsState {
  std::mutex lock;
  bool forceActivation = false;
  HANDLE forcedActivationResult = nullptr;
};

DeviceCallsState g_deviceCalls;

HANDLE DeviceHandle(uint32_t id) {
  return reinterpret_cast<HANDLE>(uintptr_t{id} << kDeviceHandleShift | kDeviceHandleTag);
}

bool DeviceId(HANDLE handle, uint32_t* id) {
  auto value = reinterpret_cast<uintptr_t>(handle);
  if (handle == INVALID_HANDLE_VALUE || (value & kDeviceHandleTag) == 0 || (value >> kDeviceHandleShift) > UINT32_MAX) {
    return false;
  }
  *id = static_cast<uint32_t>(value >> kDeviceHandleShift);
  return *id != 0;
}

// "DSK1:" is "$device\DSK1" in the device namespace.
std::u16string DeviceName(const std::u16string& legacyName) {
  std::u16string name = kDeviceNamespace + legacyName;
  if (!name.empty() && name.back() == kLegacyNameEnd) name.pop_back();
  return name;
}

// A name parameter of at most MAX_PATH - 1 units; false for a longer or
// missing one.
bool NameParameter(LPCWSTR text, std::u16string* name) {
  if (text == nullptr) return false;
  size_t length = TextLengthBounded(text, MAX_PATH);
  if (length >= MAX_PATH) return false;
  name->assign(text, length);
  return true;
}

bool LoadDevices(DeviceTable* table) {
  const Module* module = PlatformModule();
  if (module == nullptr) {
    *table = DeviceTable{};
    return true;
  }
  RegistryData live;
  std::string error;
  return RegistryLoadLive(module->dir, &live, &error) && DeviceTableLoad(*module, live, table, &error);
}

// The last error a module-side failure shows as.
DWORD ErrorOf(DeviceResult result) {
  switch (result) {
    case DeviceResult::Ok:
      return ERROR_SUCCESS;
    case DeviceResult::NoSuchKey:
    case DeviceResult::NotFound:
      return ERROR_FILE_NOT_FOUND;
    case DeviceResult::Refused:
      return ERROR_INVALID_PARAMETER;
    case DeviceResult::Failed:
      break;
  }
  return ERROR_BADDB;
}

BOOL Outcome(DeviceResult result) {
  if (result == DeviceResult::Ok) return TRUE;
  SetLastError(ErrorOf(result));
  return FALSE;
}

void FillInfo(const ActiveDevice& device, DEVMGR_DEVICE_INFORMATION* info) {
  DWORD size = info->dwSize;
  *info = DEVMGR_DEVICE_INFORMATION{};
  info->dwSize = size;
  info->hDevice = DeviceHandle(device.id);
  TextCopy(info->szLegacyName, DEVMGR_LEGACY_NAME_CHARS, device.legacyName.c_str());
  TextCopy(info->szDeviceKey, MAX_PATH, device.driverKey.c_str());
  TextCopy(info->szDeviceName, MAX_PATH, DeviceName(device.legacyName).c_str());
}

bool RecordUsable(const DEVMGR_DEVICE_INFORMATION* info) {
  if (info != nullptr && info->dwSize == sizeof(DEVMGR_DEVICE_INFORMATION)) return true;
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

bool NextMatch(DeviceSearchObject* search, DEVMGR_DEVICE_INFORMATION* info) {
  if (search->next >= search->matches.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return false;
  }
  FillInfo(search->matches[search->next++], info);
  return true;
}

bool CloseSearch(HandleObject* self) {
  delete reinterpret_cast<DeviceSearchObject*>(self);
  return true;
}

// "{A4E7EDDA-E575-4252-9D6B-4195D48BB865}"
std::u16string GuidText(const GUID& guid) {
  char text[kGuidTextBytes];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return Utf8ToUtf16(text);
}

}  // namespace

HANDLE FindFirstDevice(DeviceSearchType searchType, LPCVOID searchParam, DEVMGR_DEVICE_INFORMATION* info) {
  if (!RecordUsable(info)) return INVALID_HANDLE_VALUE;
  if (searchType != DeviceSearchByLegacyName && searchType != DeviceSearchByDeviceName) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string wanted;
  if (!NameParameter(static_cast<LPCWSTR>(searchParam), &wanted)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  DeviceTable table;
  if (!LoadDevices(&table)) {
    SetLastError(ERROR_BADDB);
    return INVALID_HANDLE_VALUE;
  }
  auto* search = new (std::nothrow) DeviceSearchObject{};
  if (search == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  search->header.kind = HandleKind::Device;
  search->header.close = CloseSearch;
  for (const ActiveDevice& device : table.devices) {
    const std::u16string name = searchType == DeviceSearchByLegacyName ? device.legacyName
                                                                      : DeviceName(device.legacyName);
    if (TextEqualNoCase(name, wanted)) search->matches.push_back(device);
  }
  if (!NextMatch(search, info)) {
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  return HandleRegister(&search->header);
}

BOOL FindNextDevice(HANDLE search, DEVMGR_DEVICE_INFORMATION* info) {
  auto* object = HandleGet<DeviceSearchObject>(search, HandleKind::Device);
  if (object == nullptr || !RecordUsable(info)) return FALSE;
  return NextMatch(object, info) ? TRUE : FALSE;
}

BOOL DeviceFindClose(HANDLE search) {
  HandleObject* object = HandleUnregister(search, HandleKind::Device);
  return object != nullptr && object->close(object) ? TRUE : FALSE;
}

bool DeviceSearchHandle(HANDLE search) {
  DWORD saved = GetLastError();
  bool found = HandleLookup(search, HandleKind::Device) != nullptr;
  SetLastError(saved);
  return found;
}

BOOL DeactivateDevice(HANDLE device) {
  uint32_t id = 0;
  const Module* module = PlatformModule();
  if (!DeviceId(device, &id) || module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::string error;
  DeviceResult result = DeviceDeactivate(*module, id, &error);
  if (result == DeviceResult::NotFound) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return Outcome(result);
}

HANDLE ActivateDeviceEx(LPCWSTR registryKey, LPCVOID regEnts, DWORD regEntCount, LPVOID) {
  {
    std::lock_guard<std::mutex> guard(g_deviceCalls.lock);
    if (g_deviceCalls.forceActivation) return g_deviceCalls.forcedActivationResult;
  }
  std::u16string key;
  if (!NameParameter(registryKey, &key) || (regEnts == nullptr) != (regEntCount == 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (regEntCount != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  const Module* module = PlatformModule();
  std::string error;
  const ModuleFlash* flash = module == nullptr ? nullptr : PlatformModuleFlash(&error);
  if (flash == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  ActiveDevice started;
  DeviceResult result = DeviceActivate(*module, *flash, key, &started, &error);
  if (result != DeviceResult::Ok) {
    SetLastError(ErrorOf(result));
    return nullptr;
  }
  return DeviceHandle(started.id);
}

BOOL AdvertiseInterface(const GUID* interfaceClass, LPCWSTR name, BOOL add) {
  std::u16string device;
  const Module* module = PlatformModule();
  if (interfaceClass == nullptr || !NameParameter(name, &device) || device.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (module == nullptr) {
    SetLastError(ERROR_BADDB);
    return FALSE;
  }
  std::string error;
  return Outcome(DeviceAdvertise(*module, GuidText(*interfaceClass), device, add != FALSE, &error));
}

void DeviceActivationResultForTests(bool set, HANDLE result) {
  std::lock_guard<std::mutex> guard(g_deviceCalls.lock);
  g_deviceCalls.forceActivation = set;
  g_deviceCalls.forcedActivationResult = result;
}
