#include "storage/driver_keys.h"

#include <algorithm>

#include "platform/format.h"

bool OpenFlashDiskDriverKey(HKEY* key, const WCHAR** path) {
  for (const WCHAR* candidate : FLASH_DISK_DRIVER_KEYS) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, candidate, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS) {
      if (path != nullptr) *path = candidate;
      return true;
    }
  }
  return false;
}

bool OpenStorageProfileKey(const WCHAR* format, const WCHAR* profile, HKEY* key) {
  WCHAR path[MAX_PATH];
  return StringCchPrintfW(path, MAX_PATH, format, profile) == S_OK &&
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS;
}

bool ReadFlashDiskSettings(FlashDiskSettings* settings, WCHAR* folder, DWORD folderBytes) {
  HKEY key = nullptr;
  if (!OpenFlashDiskDriverKey(&key)) return false;
  RegReadDword(key, u"MemBase", &settings->memBase);
  RegReadDword(key, u"MemLen", &settings->memLen);
  RegReadDword(key, u"BlockSize", &settings->blockSize);
  RegReadDword(key, u"SectorSize", &settings->sectorSize);
  RegReadText(key, u"Profile", settings->profile, DRIVER_PROFILE_BYTES);
  RegCloseKey(key);
  if (OpenStorageProfileKey(STORAGE_PROFILE_KEY_FORMAT, settings->profile, &key)) {
    RegReadText(key, u"Folder", folder, folderBytes);
    RegCloseKey(key);
  }
  return true;
}

void RegReadDword(HKEY key, const WCHAR* name, uint32_t* value) {
  DWORD type = 0;
  uint32_t data = 0;
  DWORD bytes = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) == ERROR_SUCCESS &&
      type == REG_DWORD && bytes == sizeof data) {
    *value = data;
  }
}

void RegReadText(HKEY key, const WCHAR* name, WCHAR* text, DWORD limit) {
  WCHAR* end = text + limit / sizeof(WCHAR) + 1;
  std::fill(text, end, WCHAR{0});
  DWORD type = 0;
  DWORD bytes = limit;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    std::fill(text, end, WCHAR{0});
  }
}
