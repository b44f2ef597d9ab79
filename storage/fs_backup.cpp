#include "storage/fs_backup.h"

#include <algorithm>

#include "fwlib/checksum.h"
#include "fwlib/file_writes.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/files.h"
#include "storage/driver_keys.h"
#include "storage/fs_stream_header.h"
#include "storage/fs_stream_writer.h"
#include "storage/store_access.h"

namespace {

// The folder the stream records: 15 characters and the terminator.
constexpr DWORD kFolderBytes = 32;

// The driver's geometry and its profile's folder and TFAT setting; false
// when the driver or its profile has no key.
bool ReadDriverSettings(FsStreamHeader* header) {
  FlashDiskSettings settings = {header->memBase, header->memLen, header->blockSize, header->sectorSize, {}};
  WCHAR folder[kFolderBytes / sizeof(WCHAR) + 1] = {};
  if (!ReadFlashDiskSettings(&settings, folder, kFolderBytes)) return false;
  header->memBase = settings.memBase;
  header->memLen = settings.memLen;
  header->blockSize = settings.blockSize;
  header->sectorSize = settings.sectorSize;
  const WCHAR* profile = settings.profile;
  HKEY key = nullptr;
  if (!OpenStorageProfileKey(STORAGE_PROFILE_KEY_FORMAT, profile, &key)) return false;
  RegCloseKey(key);
  std::copy(folder, folder + kFolderBytes / sizeof(WCHAR), header->folder);

  if (OpenStorageProfileKey(STORAGE_PROFILE_FAT_KEY_FORMAT, profile, &key)) {
    uint32_t tfat = 0;
    RegReadDword(key, u"FormatTfat", &tfat);
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

// Writes the placeholder header, the chunks and the real header.
uint32_t WriteStream(HANDLE file, HANDLE store, FsStreamHeader* header) {
  uint64_t start = 0;
  uint8_t bytes[FS_STREAM_HEADER_BYTES];
  FsStreamHeaderEncode(*header, bytes);
  if (!FilePosition(file, &start) || !FileWriteAll(file, bytes, sizeof bytes)) return FWL_ERR_WRITE_FILE;

  const FlashRegion* fs = FileSystemEntry();
  SectorStreamRequest request = {file, store, FsStreamStoreInfo(*header), 0, 0};
  if (fs != nullptr) {
    request.address = header->memBase != FS_STREAM_VALUE_UNKNOWN ? header->memBase : fs->base;
    request.usedBytes = fs->used;
  }
  uint32_t result = WriteSectorChunks(request);
  if (result != FWL_OK) return result;

  uint64_t end = 0;
  if (!FilePosition(file, &end)) return FWL_ERR_WRITE_FILE;
  uint64_t dataLength = end - start - sizeof bytes;
  if (dataLength > UINT32_MAX) return FWL_ERR_FS_RESTORE;
  header->dataLength = static_cast<uint32_t>(dataLength);
  FsStreamHeaderEncode(*header, bytes);
  ChecksumSelect(ChecksumKind::Fletcher);
  ChecksumFeed(bytes, FS_STREAM_HEADER_CHECKED_BYTES);
  header->checksum = ChecksumResult();
  StoreLe32(bytes + FS_STREAM_HEADER_CHECKED_BYTES, header->checksum);
  if (!FilePatch(file, start, bytes, sizeof bytes)) return FWL_ERR_WRITE_FILE;
  return FWL_OK;
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
