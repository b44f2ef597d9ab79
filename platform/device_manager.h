// The device manager's calls: finding a running device, stopping it,
// starting a driver from its registry key, and advertising device
// interfaces. Devices belong to the module, so what one process changes every
// other process on it sees; the storage manager drops a flash disk's store
// when its device stops or its block-driver interface is withdrawn.
#pragma once

#include "platform/types.h"

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};

// The interface class of block drivers, which the storage manager listens for.
inline constexpr GUID BLOCK_DRIVER_GUID = {0xA4E7EDDA, 0xE575, 0x4252, {0x9D, 0x6B, 0x41, 0x95, 0xD4, 0x8B, 0xB8, 0x65}};

enum DeviceSearchType : uint32_t {
  DeviceSearchByLegacyName = 0,  // "DSK1:"
  DeviceSearchByDeviceName,      // "$device\DSK1"
  DeviceSearchByBusName,
  DeviceSearchByGuid,
  DeviceSearchByParent,
};

constexpr size_t DEVMGR_LEGACY_NAME_CHARS = 6;

// The record a device search fills. It holds handles at the host's pointer
// width: 1584 bytes where pointers are 32 bits.
struct DEVMGR_DEVICE_INFORMATION {
  DWORD dwSize;  // preset to sizeof(DEVMGR_DEVICE_INFORMATION)
  HANDLE hDevice;
  HANDLE hParentDevice;  // null: the module's flash disks sit on no bus
  WCHAR szLegacyName[DEVMGR_LEGACY_NAME_CHARS];
  WCHAR szDeviceKey[MAX_PATH];   // the driver key it was started from
  WCHAR szDeviceName[MAX_PATH];  // "$device\DSK1"
  WCHAR szBusName[MAX_PATH];     // empty
};
constexpr size_t DEVMGR_DEVICE_INFORMATION_32BIT_BYTES = 1584;
static_assert(sizeof(void*) != 4 || sizeof(DEVMGR_DEVICE_INFORMATION) == DEVMGR_DEVICE_INFORMATION_32BIT_BYTES);
static_assert(offsetof(DEVMGR_DEVICE_INFORMATION, szLegacyName) == offsetof(DEVMGR_DEVICE_INFORMATION, hDevice) +
                                                                        2 * sizeof(HANDLE));

// Only the legacy and device name searches are offered; the name compares
// without regard to case. The search handle ends with FindClose (or
// CloseHandle). INVALID_HANDLE_VALUE with ERROR_NO_MORE_ITEMS when no device
// matches, ERROR_INVALID_PARAMETER for a bad record or parameter,
// ERROR_NOT_SUPPORTED for the other kinds of search.
HANDLE FindFirstDevice(DeviceSearchType searchType, LPCVOID searchParam, DEVMGR_DEVICE_INFORMATION* info);
BOOL FindNextDevice(HANDLE search, DEVMGR_DEVICE_INFORMATION* info);
// Ends a device search; FindClose and CloseHandle come here for one.
BOOL DeviceFindClose(HANDLE search);
// True when `search` is a device search handle; keeps the last error.
bool DeviceSearchHandle(HANDLE search);

// Stops the device: its interfaces are withdrawn and a flash disk's store
// goes away. ERROR_INVALID_HANDLE for a handle of no running device.
BOOL DeactivateDevice(HANDLE device);

// Starts the driver of `registryKey` (below HKEY_LOCAL_MACHINE). The new
// device's handle, or null: ERROR_FILE_NOT_FOUND when the key does not exist,
// ERROR_INVALID_PARAMETER when the driver does not start with its values
// (no "MemBase"/"MemLen", a region the flash cannot hold, a prefix not of
// three letters) or no index is free. Registry entries for the driver
// (`regEnts`) are not supported: `regEntCount` must be 0.
HANDLE ActivateDeviceEx(LPCWSTR registryKey, LPCVOID regEnts, DWORD regEntCount, LPVOID clientInfo);

// Adds or withdraws the interface `interfaceClass` under the device name
// `name`. Withdrawing one that is not advertised fails with
// ERROR_FILE_NOT_FOUND; adding one twice is harmless.
BOOL AdvertiseInterface(const GUID* interfaceClass, LPCWSTR name, BOOL add);

// Test hook: while set, ActivateDeviceEx returns `result` without starting
// anything (a device manager that hands back an unusable handle).
void DeviceActivationResultForTests(bool set, HANDLE result);
