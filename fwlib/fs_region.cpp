#include "fwlib/fs_region.h"

#include <algorithm>

#include "fwlib/library_state.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "storage/store_access.h"

namespace {

// The flash disk driver's key: built in, or registered as a block device.
constexpr const WCHAR* kDriverKeys[] = {u"Drivers\\BuiltIn\\StrataFMD", u"Drivers\\BlockDevice\\StrataFMD"};
constexpr WCHAR kProfileKeyFormat[] = u"System\\StorageManager\\Profiles\\%s";

// Texts read from the registry are taken up to 32 bytes.
constexpr DWORD REGISTRY_TEXT_BYTES = 32;
constexpr size_t REGISTRY_TEXT_CHARS = REGISTRY_TEXT_BYTES / sizeof(WCHAR);

// Fixed-size name fields of the store and partition records need not be
// terminated; they are copied into buffers one unit longer.
constexpr size_t STORE_NAME_FIELD = sizeof(STOREINFO::szStoreName) / sizeof(WCHAR);
constexpr size_t DEVICE_NAME_FIELD = sizeof(STOREINFO::szDeviceName) / sizeof(WCHAR);
constexpr size_t VOLUME_NAME_FIELD = sizeof(PARTINFO::szVolumeName) / sizeof(WCHAR);

// One batch of the sector query sends sector numbers in the first half of the
// work buffer and gets flash addresses back in the second.
constexpr uint32_t SECTOR_QUERY_BYTES_PER_SECTOR = 2 * sizeof(uint32_t);

void CopyField(WCHAR* dest, size_t destChars, const WCHAR* field, size_t fieldChars) {
  size_t n = std::min(TextLengthBounded(field, fieldChars), destChars - 1);
  std::copy(field, field + n, dest);
  dest[n] = 0;
}

void ReadDword(HKEY key, const WCHAR* name, uint32_t* value) {
  DWORD type = 0;
  uint32_t data = 0;
  DWORD bytes = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) == ERROR_SUCCESS &&
      type == REG_DWORD && bytes == sizeof data) {
    *value = data;
  }
}

// Empty unless the value is text of at most REGISTRY_TEXT_BYTES.
void ReadText(HKEY key, const WCHAR* name, WCHAR (&text)[REGISTRY_TEXT_CHARS + 1]) {
  std::fill(std::begin(text), std::end(text), 0);
  DWORD type = 0;
  DWORD bytes = REGISTRY_TEXT_BYTES;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    text[0] = 0;
  }
}

// Reads the driver's flash range into the entry and its profile name; false
// when the driver has no key.
bool ReadDriverKey(FlashRegion* entry, WCHAR (&profile)[REGISTRY_TEXT_CHARS + 1]) {
  HKEY key = nullptr;
  bool opened = false;
  for (const WCHAR* path : kDriverKeys) {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
      opened = true;
      break;
    }
  }
  if (!opened) return false;
  ReadDword(key, u"MemBase", &entry->base);
  ReadDword(key, u"MemLen", &entry->length);
  ReadText(key, u"Profile", profile);
  RegCloseKey(key);
  return true;
}

bool ProfileIsInternalFlash(const WCHAR* profile) {
  WCHAR path[MAX_PATH];
  if (StringCchPrintfW(path, MAX_PATH, kProfileKeyFormat, profile) != S_OK) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return false;
  WCHAR name[REGISTRY_TEXT_CHARS + 1];
  ReadText(key, u"Name", name);
  RegCloseKey(key);
  return TextCompare(name, FS_STORE_NAME) == 0;
}

// Takes the store's usage and device name when it opens.
void TakeStore(const STOREINFO& info, FlashRegion* entry) {
  WCHAR device[DEVICE_NAME_FIELD + 1];
  CopyField(device, DEVICE_NAME_FIELD + 1, info.szDeviceName, DEVICE_NAME_FIELD);
  HANDLE store = OpenStore(device);
  if (store == INVALID_HANDLE_VALUE) return;
  FwlLibraryState* state = FwlState();
  entry->used = FWLGetFsUsage(store, &info, FS_USAGE_MAPPED_SECTORS);
  state->fsBytesInUse = FWLGetFsUsage(store, &info, FS_USAGE_PARTITIONS);
  TextCopy(state->storeDeviceName, STORE_DEVICE_NAME_CHARS, device);
  entry->id &= ~REGION_ABSENT;
  CloseHandle(store);
}

uint32_t PartitionsBytesInUse(HANDLE store) {
  PARTINFO part = {};
  part.cbSize = PARTITION_INFO_BYTES;
  HANDLE search = FindFirstPartition(store, &part);
  if (search == INVALID_HANDLE_VALUE) return 0;
  uint32_t inUse = 0;
  do {
    WCHAR volume[VOLUME_NAME_FIELD + 1];
    CopyField(volume, VOLUME_NAME_FIELD + 1, part.szVolumeName, VOLUME_NAME_FIELD);
    ULARGE_INTEGER total = {}, free = {};
    if (GetDiskFreeSpaceExW(volume, nullptr, &total, &free)) {
      inUse += static_cast<uint32_t>(total.QuadPart) - static_cast<uint32_t>(free.QuadPart);
    }
    part.cbSize = PARTITION_INFO_BYTES;
  } while (FindNextPartition(search, &part));
  FindClosePartition(search);
  return inUse;
}

// Counts the sectors the flash disk has mapped to flash; 0 when a query fails.
uint32_t MappedSectorCount(HANDLE store, uint64_t sectors, uint32_t* buffer, uint32_t batchMax) {
  uint32_t* numbers = buffer;
  uint32_t* addresses = buffer + batchMax;
  uint32_t mapped = 0;
  for (uint64_t first = 0; first < sectors;) {
    uint32_t batch = static_cast<uint32_t>(std::min<uint64_t>(batchMax, sectors - first));
    for (uint32_t i = 0; i < batch; i++) numbers[i] = static_cast<uint32_t>(first + i);
    DWORD bytes = batch * sizeof(uint32_t);
    DWORD returned = 0;
    if (!DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, numbers, bytes, addresses, bytes, &returned, nullptr)) {
      return 0;
    }
    uint32_t answers = std::min<uint32_t>(batch, returned / sizeof(uint32_t));
    for (uint32_t i = 0; i < answers; i++) mapped += addresses[i] != SECTOR_ADDRESS_NONE;
    first += batch;
  }
  return mapped;
}

uint32_t MappedSectorBytes(HANDLE store, const STOREINFO* info) {
  bool ownBuffer = !WorkBufferHeld();
  if (!WorkBufferAcquire()) return 0;
  uint32_t batchMax = WorkBufferSize() / SECTOR_QUERY_BYTES_PER_SECTOR;
  // A buffer too small for one sector's question and answer counts nothing
  // rather than looping forever.
  uint32_t bytes = batchMax == 0 ? 0
                                 : MappedSectorCount(store, info->snNumSectors, WorkBufferWords(), batchMax) *
                                       info->dwBytesPerSector;
  if (ownBuffer) WorkBufferFree();
  return bytes;
}

}  // namespace

void ScanFileSystemRegion(FlashRegion* entry) {
  FwlState()->storeDeviceName[0] = 0;
  FwlState()->fsBytesInUse = 0;
  WCHAR profile[REGISTRY_TEXT_CHARS + 1];
  if (!ReadDriverKey(entry, profile) || !ProfileIsInternalFlash(profile)) return;
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  HANDLE search = FindFirstStore(&info);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    WCHAR name[STORE_NAME_FIELD + 1];
    CopyField(name, STORE_NAME_FIELD + 1, info.szStoreName, STORE_NAME_FIELD);
    if (TextCompare(name, FS_STORE_NAME) == 0) TakeStore(info, entry);
    info.cbSize = STORE_INFO_BYTES;
  } while (FindNextStore(search, &info));
  FindCloseStore(search);
}

uint32_t FWLGetFsUsage(HANDLE store, const STOREINFO* info, uint32_t kind) {
  if (kind == FS_USAGE_PARTITIONS) return PartitionsBytesInUse(store);
  if (kind == FS_USAGE_MAPPED_SECTORS && info != nullptr) return MappedSectorBytes(store, info);
  return 0;
}
