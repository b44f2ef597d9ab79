#include "storage/fs_backup.h"

#include <algorithm>

#include "fwlib/checksum.h"
#include "fwlib/file_writes.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "storage/fs_stream_header.h"
#include "storage/fs_stream_writer.h"
#include "storage/store_access.h"

namespace {

// The running flash disk driver's key: built in, or registered as a block device.
constexpr const WCHAR* kDriverKeys[] = {u"Drivers\\BuiltIn\\StrataFMD", u"Drivers\\BlockDevice\\StrataFMD"};
constexpr WCHAR kProfileKeyFormat[] = u"System\\StorageManager\\Profiles\\%s";
constexpr WCHAR kProfileFatKeyFormat[] = u"System\\StorageManager\\Profiles\\%s\\FATFS";

// The profile name: 31 characters and the terminator.
constexpr DWORD kProfileBytes = 64;
// The folder the stream records: 15 characters and the terminator.
constexpr DWORD kFolderBytes = 32;

void ReadDword(HKEY key, const WCHAR* name, uint32_t* value) {
  DWORD type = 0;
  uint32_t data = 0;
  DWORD bytes = sizeof data;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) == ERROR_SUCCESS &&
      type == REG_DWORD && bytes == sizeof data) {
    *value = data;
  }
}

// Zero-filled unless the value is text of at most `limit` bytes; `text` has
// room for `limit` bytes and one more unit, so it always ends terminated.
void ReadText(HKEY key, const WCHAR* name, WCHAR* text, DWORD limit) {
  std::fill(text, text + limit / sizeof(WCHAR) + 1, WCHAR{0});
  DWORD type = 0;
  DWORD bytes = limit;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
      type != REG_SZ) {
    std::fill(text, text + limit / sizeof(WCHAR) + 1, WCHAR{0});
  }
}

bool OpenProfileKey(const WCHAR* format, const WCHAR* profile, HKEY* key) {
  WCHAR path[MAX_PATH];
  return StringCchPrintfW(path, MAX_PATH, format, profile) == S_OK &&
         RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, key) == ERROR_SUCCESS;
}

// The driver's geometry and its profile's folder and TFAT setting; false
// when the driver or its profile has no key.
bool ReadDriverSettings(FsStreamHeader* header) {
  HKEY key = nullptr;
  bool opened = false;
  for (const WCHAR* path : kDriverKeys) {
    opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS;
    if (opened) break;
  }
  if (!opened) return false;
  ReadDword(key, u"MemBase", &header->memBase);
  ReadDword(key, u"MemLen", &header->memLen);
  ReadDword(key, u"BlockSize", &header->blockSize);
  ReadDword(key, u"SectorSize", &header->sectorSize);
  WCHAR profile[kProfileBytes / sizeof(WCHAR) + 1];
  ReadText(key, u"Profile", profile, kProfileBytes);
  RegCloseKey(key);

  if (!OpenProfileKey(kProfileKeyFormat, profile, &key)) return false;
  WCHAR folder[kFolderBytes / sizeof(WCHAR) + 1];
  ReadText(key, u"Folder", folder, kFolderBytes);
  std::copy(folder, folder + kFolderBytes / sizeof(WCHAR), header->folder);
  RegCloseKey(key);

  if (OpenProfileKey(kProfileFatKeyFormat, profile, &key)) {
    uint32_t tfat = 0;
    ReadDword(key, u"FormatTfat", &tfat);
    if (tfat != 0) header->flags |= FS_STREAM_FLAG_FORMAT_TFAT;
    RegCloseKey(key);
  }
  return true;
}

const FlashRegion* FileSystemEntry() {
  const FlashRegion* table = RegionTable();
  for (size_t i = 0; i < REGION_COUNT; i++) {
    if ((table[i].id & REGION_FILE_SYSTEM) != 0) return &table[i];
  }
  return nullptr;
}

// Writes the placeholder header, the chunks and the real header. A walk
// that ended at the store's last sector short of the counted sectors still
// leaves a complete stream, but fails: a backup must never silently lack data.
uint32_t WriteStream(HANDLE file, HANDLE store, FsStreamHeader* header) {
  uint64_t start = 0;
  if (!FilePosition(file, &start) || !FileWriteAll(file, header, sizeof *header)) return FWL_ERR_WRITE_FILE;

  const FlashRegion* fs = FileSystemEntry();
  SectorStreamRequest request = {file, store, FsStreamStoreInfo(*header), 0, 0};
  if (fs != nullptr) {
    request.address = header->memBase != FS_STREAM_VALUE_UNKNOWN ? header->memBase : fs->base;
    request.usedBytes = fs->used;
  }
  uint32_t missing = 0;
  uint32_t result = WriteSectorChunks(request, &missing);
  if (result != FWL_OK) return result;

  uint64_t end = 0;
  if (!FilePosition(file, &end)) return FWL_ERR_WRITE_FILE;
  uint64_t dataLength = end - start - sizeof *header;
  if (dataLength > UINT32_MAX) return FWL_ERR_FS_RESTORE;
  header->dataLength = static_cast<uint32_t>(dataLength);
  ChecksumSelect(ChecksumKind::Fletcher);
  ChecksumFeed(reinterpret_cast<const uint8_t*>(header), FS_STREAM_HEADER_CHECKED_BYTES);
  header->checksum = ChecksumResult();
  if (!FilePatch(file, start, header, sizeof *header)) return FWL_ERR_WRITE_FILE;
  return missing == 0 ? FWL_OK : FWL_ERR_FS_RESTORE;
}

}  // namespace

uint32_t BackupFileSystem(HANDLE file) {
  FsStreamHeader header = {};
  header.magic = FS_STREAM_MAGIC;
  header.version = FS_STREAM_VERSION;
  header.headerSize = FS_STREAM_HEADER_BYTES;
  header.type = FS_STREAM_SECTORS;
  header.memBase = header.memLen = header.sectorSize = header.blockSize = FS_STREAM_VALUE_UNKNOWN;
  if (!ReadDriverSettings(&header)) return FWL_ERR_FS_RESTORE;

  HANDLE store = OpenStore(FwlState()->storeDeviceName);
  if (store == INVALID_HANDLE_VALUE) return FWL_ERR_FS_RESTORE;
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  if (!GetStoreInfo(store, &info)) {
    CloseHandle(store);
    return FWL_ERR_FS_RESTORE;
  }
  FsStreamSetStoreInfo(&header, info);
  uint32_t result = WriteStream(file, store, &header);
  CloseHandle(store);
  return result;
}
