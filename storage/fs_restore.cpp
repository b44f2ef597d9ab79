#include "storage/fs_restore.h"

#include "fwlib/address_map.h"
#include "fwlib/bin_file_io.h"
#include "fwlib/bin_file_sections.h"
#include "fwlib/callbacks.h"
#include "fwlib/fs_region.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/handles.h"
#include "storage/flash_disk_driver.h"
#include "storage/fs_restore_files.h"
#include "storage/fs_restore_sectors.h"
#include "storage/store_format.h"

namespace {

// The flash address the progress reports name a stream by.
uint32_t StreamAddress(const FsStreamHeader& header) {
  if (header.memBase != FS_STREAM_VALUE_UNKNOWN) return header.memBase;
  RegionSummary fs = {REGION_FILE_SYSTEM, 0, 0, 0};
  return FWLGetRegionInfo(&fs, nullptr) == FWL_OK ? fs.start : 0;
}

// Where a stream may lay its store: inside the flash, where the first stream
// of the file lays its own (the one region validation reports for the
// streams), and nowhere on the first bootloader of a fail-safe module.
uint32_t CheckStreamArea(const FsStreamHeader& header, bool first, FsStreamArea* firstArea) {
  FsStreamArea area = FsStreamRegion(header.memBase, header.memLen);
  if (!MappedRangeInFlash(area.base, area.length)) return FWL_ERR_FILE_FORMAT;
  if (first) *firstArea = area;
  bool elsewhere = area.base != firstArea->base || area.length != firstArea->length;
  return elsewhere || ReachesFirstBootloader(area.base, area.length) ? FWL_ERR_AREA : FWL_OK;
}

uint32_t CheckStream(const FsStreamHeader& header) {
  if (header.type == FS_STREAM_SECTORS) return CheckSectorStream(header);
  if (header.type == FS_STREAM_FILES) return CheckFileStream(header);
  return FWL_ERR_FILE_VERSION;
}

// One stream, the image file at its data.
uint32_t RestoreStream(const FsStreamHeader& header) {
  uint32_t result = CheckStream(header);
  if (result != FWL_OK) return result;
  if (!ReportErase(FS_PHASE_PREPARING, 0)) return FWL_ERR_USER_ABORT;
  result = RegisterFlashDiskDriver(header);
  if (result == FWL_OK) result = WaitDriverUnloadDelay();
  if (result == FWL_OK) result = LoadFlashDisk();
  if (result != FWL_OK) return result;
  HANDLE store = INVALID_HANDLE_VALUE;
  result = FormatInternalStore(&store);
  if (result == FWL_OK) {
    uint32_t address = StreamAddress(header);
    result = header.type == FS_STREAM_SECTORS ? RestoreSectorStream(store, header, address)
                                              : RestoreFileStream(store, header, address);
  }
  if (store != INVALID_HANDLE_VALUE) CloseHandle(store);
  return result;
}

}  // namespace

namespace {

// Runs `each(header, dataStart, first)` for every stream from the current
// position on, until one answers other than FWL_OK. Whatever follows the
// streams (a CPLD section, the end of the file) ends them; a file with none
// at all is damaged.
template <typename Each>
uint32_t ForEachStream(Each each) {
  for (bool first = true;; first = false) {
    uint64_t position = 0;
    StreamHeaderInfo info = {};
    bool found = false;
    uint32_t result = ImageFilePosition(&position) ? ReadStreamHeader(position, &info, &found) : FWL_ERR_FILE_FORMAT;
    if (result != FWL_OK) return result;
    if (!found) return first ? FWL_ERR_FILE_FORMAT : FWL_OK;
    FsStreamHeader header;
    FsStreamHeaderDecode(WorkBufferData(), &header);
    result = each(header, position + info.headerSize, first);
    if (result != FWL_OK) return result;
  }
}

}  // namespace

uint32_t CheckFileSystemStreams() {
  uint64_t start = 0;
  if (!ImageFilePosition(&start)) return FWL_ERR_FILE_FORMAT;
  FsStreamArea firstArea = {};
  uint32_t result = ForEachStream([&](const FsStreamHeader& header, uint64_t data, bool first) {
    uint32_t checked = CheckStreamArea(header, first, &firstArea);
    if (checked == FWL_OK) checked = CheckStream(header);
    if (checked != FWL_OK) return checked;
    return ImageFileSeek(data + header.dataLength) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  });
  return ImageFileSeek(start) ? result : FWL_ERR_FILE_FORMAT;
}

uint32_t RestoreFileSystem() {
  FsStreamArea firstArea = {};
  uint32_t result = ForEachStream([&](const FsStreamHeader& header, uint64_t, bool first) {
    uint32_t checked = CheckStreamArea(header, first, &firstArea);
    if (checked != FWL_OK) return checked;
    // The instance a stream before this one loaded goes first: two drivers
    // on one region would each offer the store.
    uint32_t unloaded = first ? FWL_OK : UnloadFlashDisk();
    return unloaded == FWL_OK ? RestoreStream(header) : unloaded;
  });
  UnregisterFlashDiskDriver();
  return result;
}
