#include "fwlib/fs_region.h"

#include <algorithm>

#include "fwlib/library_state.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "platform/text.h"
#include "storage/driver_keys.h"
#include "storage/fs_stream_header.h"
#include "storage/store_access.h"

namespace {

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

// Reads the driver's flash range into the entry and its profile name; false
// when the driver has no key.
bool ReadDriverKey(FlashRegion* entry, WCHAR (&profile)[REGISTRY_TEXT_CHARS + 1]) {
  HKEY key = nullptr;
  if (!OpenFlashDiskDriverKey(&key)) return false;
  RegReadDword(key, u"MemBase", &entry->base);
  RegReadDword(key, u"MemLen", &entry->length);
  RegReadText(key, u"Profile", profile, REGISTRY_TEXT_BYTES);
  RegCloseKey(key);
  return true;
}

bool ProfileIsInternalFlash(const WCHAR* profile) {
  HKEY key = nullptr;
  if (!OpenStorageProfileKey(STORAGE_PROFILE_KEY_FORMAT, profile, &key)) return false;
  WCHAR name[REGISTRY_TEXT_CHARS + 1];
  RegReadText(key, u"Name", name, REGISTRY_TEXT_BYTES);
  RegCloseKey(key);
  return TextCompare(name, FS_STORE_NAME) == 0;
}

// Takes the store's usage and device name when it opens.
void TakeStore(const STOREINFO& info, FlashRegion* entry) {
  WCHAR device[DEVICE_NAME_FIELD + 1];
  TextCopyField(device, DEVICE_NAME_FIELD + 1, info.szDeviceName, DEVICE_NAME_FIELD);
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
    TextCopyField(volume, VOLUME_NAME_FIELD + 1, part.szVolumeName, VOLUME_NAME_FIELD);
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
  FwlLibraryState* state = FwlState();
  state->storeDeviceName[0] = 0;
  state->fsBytesInUse = 0;
  state->fsStoreMissing = false;
  WCHAR profile[REGISTRY_TEXT_CHARS + 1];
  if (!ReadDriverKey(entry, profile) || !ProfileIsInternalFlash(profile)) return;
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  HANDLE search = FindFirstStore(&info);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      WCHAR name[STORE_NAME_FIELD + 1];
      TextCopyField(name, STORE_NAME_FIELD + 1, info.szStoreName, STORE_NAME_FIELD);
      if (TextCompare(name, FS_STORE_NAME) == 0) TakeStore(info, entry);
      info.cbSize = STORE_INFO_BYTES;
    } while (FindNextStore(search, &info));
    FindCloseStore(search);
  }
  state->fsStoreMissing = (entry->id & REGION_ABSENT) != 0;
}

uint32_t FWLGetFsUsage(HANDLE store, const STOREINFO* info, uint32_t kind) {
  if (kind == FS_USAGE_PARTITIONS) return PartitionsBytesInUse(store);
  if (kind == FS_USAGE_MAPPED_SECTORS && info != nullptr) return MappedSectorBytes(store, info);
  return 0;
}

FsStreamArea FsStreamRegion(uint32_t memBase, uint32_t memLen) {
  const FlashRegion& fs = RegionTable()[RegionFileSystemIndex()];
  return {memBase == FS_STREAM_VALUE_UNKNOWN ? fs.base : memBase,
          memLen == 0 || memLen == FS_STREAM_VALUE_UNKNOWN ? fs.length : memLen};
}
