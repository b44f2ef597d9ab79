// The flash disk driver's place in the registry: its key (built in, or
// registered as a block device), its storage profile, and the bounded reads
// of their values that everything looking at them shares.
#pragma once

#include <cstdint>

#include "platform/registry.h"
#include "platform/types.h"

constexpr const WCHAR* FLASH_DISK_DRIVER_KEYS[] = {u"Drivers\\BuiltIn\\StrataFMD",
                                                   u"Drivers\\BlockDevice\\StrataFMD"};
constexpr WCHAR STORAGE_PROFILE_KEY_FORMAT[] = u"System\\StorageManager\\Profiles\\%s";
constexpr WCHAR STORAGE_PROFILE_FAT_KEY_FORMAT[] = u"System\\StorageManager\\Profiles\\%s\\FATFS";

// The profile name as the driver key holds it: 31 characters and the terminator.
constexpr DWORD DRIVER_PROFILE_BYTES = 64;

// Opens the first flash disk driver key there is; `path` (may be null)
// receives which one.
bool OpenFlashDiskDriverKey(HKEY* key, const WCHAR** path = nullptr);
// Opens an existing key of the profile, `format` one of the two above.
bool OpenStorageProfileKey(const WCHAR* format, const WCHAR* profile, HKEY* key);

// What the flash disk driver's key says of its flash and where its profile
// mounts the volumes. Values the keys lack are left as they were.
struct FlashDiskSettings {
  uint32_t memBase;
  uint32_t memLen;
  uint32_t blockSize;
  uint32_t sectorSize;
  WCHAR profile[DRIVER_PROFILE_BYTES / sizeof(WCHAR) + 1];
};
// False when the driver has no key; `folderBytes` bytes of the profile's
// "Folder" go into `folder` (which holds one unit more), when the profile
// key opens.
bool ReadFlashDiskSettings(FlashDiskSettings* settings, WCHAR* folder, DWORD folderBytes);

// Leaves `value` as it was unless the value is a DWORD.
void RegReadDword(HKEY key, const WCHAR* name, uint32_t* value);
// Text of at most `limit` bytes; empty otherwise. `text` holds `limit`
// bytes and one more unit, so it always ends terminated.
void RegReadText(HKEY key, const WCHAR* name, WCHAR* text, DWORD limit);
