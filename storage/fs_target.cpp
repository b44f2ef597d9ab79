#include "storage/fs_target.h"

#include "fwlib/fs_region.h"
#include "platform/format.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "storage/driver_keys.h"
#include "storage/store_access.h"

namespace {

constexpr uint32_t kFirstNumberedVolume = 2;
constexpr DWORD kFolderBytes = FS_STREAM_FOLDER_CHARS * sizeof(WCHAR);
constexpr size_t kStoreNameChars = sizeof STOREINFO::szStoreName / sizeof(WCHAR);
constexpr size_t kDeviceNameChars = sizeof STOREINFO::szDeviceName / sizeof(WCHAR);
constexpr size_t kVolumeFieldChars = sizeof PARTINFO::szVolumeName / sizeof(WCHAR);

void ReadDriver(FsTarget* t) {
  FlashDiskSettings settings = {t->memBase, t->memLen, t->blockSize, t->sectorSize, {}};
  t->driver = ReadFlashDiskSettings(&settings, t->folder, kFolderBytes);
  t->memBase = settings.memBase;
  t->memLen = settings.memLen;
  t->blockSize = settings.blockSize;
  t->sectorSize = settings.sectorSize;
}

// The partitions' sectors and volumes; with the free sectors, what a
// formatted store gives its partitions.
void ReadPartitions(HANDLE store, FsTarget* t) {
  PARTINFO part = {};
  part.cbSize = PARTITION_INFO_BYTES;
  HANDLE search = FindFirstPartition(store, &part);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    t->partitionSectors += part.snNumSectors;
    if (t->volumeCount < FS_STORE_MAX_PARTITIONS) {
      TextCopyField(t->volumes[t->volumeCount++], FS_VOLUME_CHARS + 1, part.szVolumeName, kVolumeFieldChars);
    }
    part.cbSize = PARTITION_INFO_BYTES;
  } while (FindNextPartition(search, &part));
  FindClosePartition(search);
}

void ReadStore(FsTarget* t) {
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  HANDLE search = FindFirstStore(&info);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    WCHAR name[kStoreNameChars + 1];
    TextCopyField(name, kStoreNameChars + 1, info.szStoreName, kStoreNameChars);
    if (TextCompare(name, FS_STORE_NAME) != 0) continue;
    WCHAR device[kDeviceNameChars + 1];
    TextCopyField(device, kDeviceNameChars + 1, info.szDeviceName, kDeviceNameChars);
    HANDLE store = OpenStore(device);
    if (store == INVALID_HANDLE_VALUE) continue;
    STOREINFO now = {};
    now.cbSize = STORE_INFO_BYTES;
    if (GetStoreInfo(store, &now)) {
      t->store = true;
      t->storeSectorBytes = now.dwBytesPerSector;
      t->storeSectors = now.snNumSectors;
      t->partitionSectors = now.snFreeSectors;
      ReadPartitions(store, t);
    }
    CloseHandle(store);
    break;
  } while ((info.cbSize = STORE_INFO_BYTES, FindNextStore(search, &info)));
  FindCloseStore(search);
}

// The first component of `path` with "." and ".." applied, as the module's
// file calls resolve it; false when there is none.
bool FirstComponent(const WCHAR* path, WCHAR* first, size_t capacity) {
  size_t depth = 0;
  first[0] = 0;
  for (const WCHAR* part = path; *part != 0;) {
    while (*part == u'\\' || *part == u'/') part++;
    const WCHAR* end = part;
    while (*end != 0 && *end != u'\\' && *end != u'/') end++;
    size_t length = static_cast<size_t>(end - part);
    if (length == 2 && part[0] == u'.' && part[1] == u'.') {
      if (depth > 0) depth--;
    } else if (length != 0 && !(length == 1 && part[0] == u'.')) {
      if (depth == 0) {
        if (length >= capacity) return false;
        for (size_t i = 0; i < length; i++) first[i] = part[i];
        first[length] = 0;
      }
      depth++;
    }
    part = end;
  }
  return first[0] != 0;
}

}  // namespace

void FsTargetRead(FsTarget* target) {
  *target = FsTarget{};
  target->memBase = target->memLen = target->blockSize = target->sectorSize = FS_STREAM_VALUE_UNKNOWN;
  ReadDriver(target);
  ReadStore(target);
}

bool FsTargetVolumeName(const FsTarget& target, uint32_t index, WCHAR* name, size_t capacity) {
  if (target.folder[0] == 0) return false;
  if (index == 0) return StringCchPrintfW(name, capacity, u"\\%s", target.folder) >= 0;
  return StringCchPrintfW(name, capacity, u"\\%s%u", target.folder, index - 1 + kFirstNumberedVolume) >= 0;
}

bool FsTargetHoldsPath(const FsTarget& target, const WCHAR* path) {
  WCHAR first[MAX_PATH];
  if (path == nullptr || !FirstComponent(path, first, MAX_PATH)) return false;
  for (uint32_t i = 0; i < target.volumeCount; i++) {
    const WCHAR* volume = target.volumes[i];
    while (*volume == u'\\') volume++;
    if (TextCompareNoCase(first, volume) == 0) return true;
  }
  return false;
}
