#include "storage/flash_disk_driver.h"

#include <iterator>

#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "platform/clock.h"
#include "platform/device_manager.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "storage/driver_keys.h"
#include "storage/fs_stream_header.h"

namespace {

// Our own instance of the same driver, for the restore.
constexpr WCHAR kRestoreDriverKey[] = u"Drivers\\BuiltIn\\FWLFMD";
constexpr WCHAR kStorageManagerKey[] = u"System\\StorageManager";

// Texts copied from the source key are taken up to this many bytes.
constexpr DWORD kDriverTextBytes = 260;

// Written without its terminator, as the OS's own driver keys have it.
constexpr WCHAR kDevicePrefix[] = u"DSK";
constexpr DWORD kDevicePrefixBytes = (std::size(kDevicePrefix) - 1) * sizeof(WCHAR);
constexpr DWORD kLoadOrder = 0;

// The restored store is mounted by the restore itself, not on arrival.
constexpr DWORD kAutoMountOff = 0;
constexpr DWORD kFormatTfatOn = 1;
constexpr DWORD kFormatTfatOff = 0;

// The values the restore key gets, in the order they are deleted again.
constexpr const WCHAR* kRestoreValues[] = {u"Dll",     u"Profile", u"IClass",    u"Order",     u"Prefix",
                                           u"MemBase", u"MemLen",  u"BlockSize", u"SectorSize"};

constexpr DWORD kDefaultUnloadDelayMs = 5000;
// A delay beyond this is taken as a misconfiguration; waiting it out would
// leave the update hanging.
constexpr DWORD kMaxUnloadDelayMs = 60000;
constexpr DWORD kUnloadMarginMs = 100;
// Time the storage manager takes to attach the new instance's store.
constexpr DWORD kActivationSettleMs = 500;

// How the running flash disk was taken away, so that it can be brought back.
enum class Detached : uint8_t { Nothing, Device, Interface };

// A profile value as the restore found it, to put back afterwards.
struct SavedValue {
  bool present = false;
  DWORD type = 0;
  DWORD bytes = 0;
  BYTE data[kDriverTextBytes] = {};
};

// The profile values a restore changes, as they were before the first
// stream changed them: the module's own programs mount the flash disk by
// them after the update.
struct SavedProfile {
  bool saved = false;
  WCHAR profile[DRIVER_PROFILE_BYTES / sizeof(WCHAR) + 1] = {};
  SavedValue folder, autoMount, formatTfat;
};

struct FlashDiskDriverState {
  uint32_t unloadTick = 0;
  SavedProfile profile;
  Detached detached = Detached::Nothing;
  WCHAR deviceName[STORE_DEVICE_NAME_CHARS] = {};
};

FlashDiskDriverState g_driver;

bool SetDword(HKEY key, const WCHAR* name, uint32_t value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
         ERROR_SUCCESS;
}

bool SetText(HKEY key, const WCHAR* name, const WCHAR* text, DWORD bytes) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) == ERROR_SUCCESS;
}

// Copies the value as REG_SZ with the length the query returned; `buffer`
// holds `capacity` bytes and one more unit, so that it always ends with a
// terminator.
bool CopyText(HKEY from, HKEY to, const WCHAR* name, WCHAR* buffer, DWORD capacity) {
  DWORD type = 0;
  DWORD bytes = capacity;
  bool ok = RegQueryValueExW(from, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) == ERROR_SUCCESS;
  buffer[ok ? bytes / sizeof(WCHAR) : 0] = 0;
  return ok && SetText(to, name, buffer, bytes);
}

// Writes the restore key; `profile` receives the source's profile name.
bool WriteRestoreKey(const FsStreamHeader& header, WCHAR (&profile)[DRIVER_PROFILE_BYTES / sizeof(WCHAR) + 1]) {
  HKEY source = nullptr;
  if (!OpenFlashDiskDriverKey(&source)) return false;
  HKEY restore = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRestoreDriverKey, 0, nullptr, 0, 0, nullptr, &restore, &disposition) !=
      ERROR_SUCCESS) {
    RegCloseKey(source);
    return false;
  }
  WCHAR text[kDriverTextBytes / sizeof(WCHAR) + 1];
  bool ok = CopyText(source, restore, u"Dll", text, kDriverTextBytes);
  ok = CopyText(source, restore, u"Profile", profile, DRIVER_PROFILE_BYTES) && ok;
  ok = CopyText(source, restore, u"IClass", text, kDriverTextBytes) && ok;
  ok = SetDword(restore, u"Order", kLoadOrder) && ok;
  ok = SetText(restore, u"Prefix", kDevicePrefix, kDevicePrefixBytes) && ok;
  const struct {
    const WCHAR* name;
    uint32_t value;
  } geometry[] = {{u"MemBase", header.memBase},
                  {u"MemLen", header.memLen},
                  {u"BlockSize", header.blockSize},
                  {u"SectorSize", header.sectorSize}};
  // "Unknown" is the module's own value: our instance gets what the running
  // driver has, or it would not find its flash.
  for (const auto& g : geometry) {
    uint32_t value = g.value;
    if (value == FS_STREAM_VALUE_UNKNOWN) RegReadDword(source, g.name, &value);
    if (value != FS_STREAM_VALUE_UNKNOWN) ok = SetDword(restore, g.name, value) && ok;
  }
  RegCloseKey(restore);
  RegCloseKey(source);
  return ok;
}

void SaveValue(HKEY key, const WCHAR* name, SavedValue* value) {
  value->bytes = sizeof value->data;
  value->present = RegQueryValueExW(key, name, nullptr, &value->type, value->data, &value->bytes) == ERROR_SUCCESS;
}

void PutBack(HKEY key, const WCHAR* name, const SavedValue& value) {
  if (value.present) RegSetValueExW(key, name, 0, value.type, value.data, value.bytes);
  else RegDeleteValueW(key, name);
}

void SaveProfile(const WCHAR* profile) {
  SavedProfile& saved = g_driver.profile;
  if (saved.saved) return;
  HKEY key = nullptr;
  if (!OpenStorageProfileKey(STORAGE_PROFILE_KEY_FORMAT, profile, &key)) return;
  SaveValue(key, u"Folder", &saved.folder);
  SaveValue(key, u"AutoMount", &saved.autoMount);
  RegCloseKey(key);
  if (OpenStorageProfileKey(STORAGE_PROFILE_FAT_KEY_FORMAT, profile, &key)) {
    SaveValue(key, u"FormatTfat", &saved.formatTfat);
    RegCloseKey(key);
  }
  TextCopy(saved.profile, sizeof saved.profile / sizeof(WCHAR), profile);
  saved.saved = true;
}

void RestoreProfile() {
  SavedProfile& saved = g_driver.profile;
  if (!saved.saved) return;
  HKEY key = nullptr;
  if (OpenStorageProfileKey(STORAGE_PROFILE_KEY_FORMAT, saved.profile, &key)) {
    PutBack(key, u"Folder", saved.folder);
    PutBack(key, u"AutoMount", saved.autoMount);
    RegCloseKey(key);
  }
  if (OpenStorageProfileKey(STORAGE_PROFILE_FAT_KEY_FORMAT, saved.profile, &key)) {
    PutBack(key, u"FormatTfat", saved.formatTfat);
    RegCloseKey(key);
  }
  saved = SavedProfile{};
}

bool WriteProfile(const FsStreamHeader& header, const WCHAR* profile) {
  SaveProfile(profile);
  HKEY key = nullptr;
  if (!OpenStorageProfileKey(STORAGE_PROFILE_KEY_FORMAT, profile, &key)) return false;
  bool files = header.type == FS_STREAM_FILES;
  bool ok = true;
  DWORD chars = static_cast<DWORD>(TextLengthBounded(header.folder, FS_STREAM_FOLDER_CHARS));
  // A stream that names no folder keeps the profile's: an empty one would
  // give the volumes no name to mount under.
  if (files && chars != 0) ok = SetText(key, u"Folder", header.folder, chars * sizeof(WCHAR));
  ok = SetDword(key, u"AutoMount", kAutoMountOff) && ok;
  RegCloseKey(key);
  if (!files) return ok;

  if (!OpenStorageProfileKey(STORAGE_PROFILE_FAT_KEY_FORMAT, profile, &key)) return false;
  ok = SetDword(key, u"FormatTfat", (header.flags & FS_STREAM_FLAG_FORMAT_TFAT) != 0 ? kFormatTfatOn : kFormatTfatOff) && ok;
  RegCloseKey(key);
  return ok;
}

DWORD UnloadDelay() {
  DWORD delay = kDefaultUnloadDelayMs;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kStorageManagerKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return delay;
  uint32_t value = delay;
  RegReadDword(key, u"PNPUnloadDelay", &value);
  RegCloseKey(key);
  return value < kMaxUnloadDelayMs ? value : kMaxUnloadDelayMs;
}

// Stops the store's device, or, when the device manager does not know it,
// has the storage manager drop the store by withdrawing its interface.
bool DetachStoreDevice(const WCHAR* deviceName) {
  DEVMGR_DEVICE_INFORMATION info = {};
  info.dwSize = sizeof info;
  HANDLE search = FindFirstDevice(DeviceSearchByLegacyName, deviceName, &info);
  bool detached = false;
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    detached = DeactivateDevice(info.hDevice) != FALSE;
    if (detached) g_driver.detached = Detached::Device;
  } else {
    detached = AdvertiseInterface(&BLOCK_DRIVER_GUID, deviceName, TRUE) &&
               AdvertiseInterface(&BLOCK_DRIVER_GUID, deviceName, FALSE);
    if (detached) g_driver.detached = Detached::Interface;
  }
  if (detached) TextCopy(g_driver.deviceName, STORE_DEVICE_NAME_CHARS, deviceName);
  return detached;
}

// Starts the running driver's key again, as the module does at boot.
bool ActivateSourceDriver() {
  HKEY key = nullptr;
  const WCHAR* path = nullptr;
  if (!OpenFlashDiskDriverKey(&key, &path)) return false;
  RegCloseKey(key);
  HANDLE device = ActivateDeviceEx(path, nullptr, 0, nullptr);
  return device != nullptr && device != INVALID_HANDLE_VALUE;
}

}  // namespace

uint32_t UnloadFlashDisk() {
  g_driver.detached = Detached::Nothing;
  const WCHAR* deviceName = FwlState()->storeDeviceName;
  bool ok = TextLengthBounded(deviceName, STORE_DEVICE_NAME_CHARS) == 0 || DetachStoreDevice(deviceName);
  g_driver.unloadTick = GetTickCount();
  return ok ? FWL_OK : FWL_ERR_FS_DRIVER;
}

uint32_t RegisterFlashDiskDriver(const FsStreamHeader& header) {
  WCHAR profile[DRIVER_PROFILE_BYTES / sizeof(WCHAR) + 1] = {};
  if (!WriteRestoreKey(header, profile)) return FWL_ERR_FS_DRIVER;
  return WriteProfile(header, profile) ? FWL_OK : FWL_ERR_FS_DRIVER;
}

uint32_t WaitDriverUnloadDelay() {
  DWORD delay = UnloadDelay();
  // Unsigned, so a tick counter that wrapped since the unload does no harm.
  uint32_t elapsed = GetTickCount() - g_driver.unloadTick;
  if (elapsed < delay) Sleep(delay - elapsed + kUnloadMarginMs);
  return FWL_OK;
}

uint32_t LoadFlashDisk() {
  // The instance stays loaded until the module is reset; its handle is not kept.
  HANDLE device = ActivateDeviceEx(kRestoreDriverKey, nullptr, 0, nullptr);
  if (device == nullptr || device == INVALID_HANDLE_VALUE) return FWL_ERR_FS_DRIVER;
  Sleep(kActivationSettleMs);
  return FWL_OK;
}

uint32_t UnregisterFlashDiskDriver() {
  RestoreProfile();
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRestoreDriverKey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return FWL_OK;
  // Values never written are simply not there.
  for (const WCHAR* name : kRestoreValues) RegDeleteValueW(key, name);
  RegCloseKey(key);
  return FWL_OK;
}

uint32_t ReloadFlashDisk() {
  Detached how = g_driver.detached;
  if (how == Detached::Nothing) return FWL_OK;
  WaitDriverUnloadDelay();
  bool back = how == Detached::Device ? ActivateSourceDriver()
                                      : AdvertiseInterface(&BLOCK_DRIVER_GUID, g_driver.deviceName, TRUE) != FALSE;
  if (!back) return FWL_ERR_FS_DRIVER;
  g_driver.detached = Detached::Nothing;
  Sleep(kActivationSettleMs);
  return FWL_OK;
}

uint32_t FlashDiskUnloadTime() { return g_driver.unloadTick; }

void FlashDiskDriverResetForTests() { g_driver = FlashDiskDriverState{}; }
