#include "storage/fs_restore.h"

#include "fwlib/address_map.h"
#include "fwlib/bin_file_io.h"
#include "fwlib/bin_file_sections.h"
#include "fwlib/callbacks.h"
#include "fwlib/refusal.h"
#include "fwlib/fs_region.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/handles.h"
#include "storage/flash_disk_driver.h"
#include "storage/fs_restore_files.h"
#include "storage/fs_restore_sectors.h"
#include "storage/fs_target.h"
#include "storage/store_format.h"

namespace {

// The flash address the progress reports name a stream by.
uint32_t StreamAddress(const FsStreamHeader& header) {
  if (header.memBase != FS_STREAM_VALUE_UNKNOWN) return header.memBase;
  RegionSummary fs = {REGION_FILE_SYSTEM, 0, 0, 0};
  return FWLGetRegionInfo(&fs, nullptr) == FWL_OK ? fs.start : 0;
}

struct StreamChecks {
  FsTarget target;  // read before the update takes the flash disk offline
  FsPlan plan;
  bool checked;
};

StreamChecks g_checks;

uint32_t Refuse(uint32_t result, const WCHAR* format, uint32_t given, uint32_t own) {
  RefusalSet(format, given, own);
  return result;
}

// A stream lays its store only where this module's flash disk lies, with
// this module's geometry: the header's values are the module's own or name
// the same. Whatever the header says, the store is this module's.
uint32_t CheckStreamTarget(const FsStreamHeader& header, const FsTarget& t, FsStreamPlan* plan) {
  constexpr uint32_t unknown = FS_STREAM_VALUE_UNKNOWN;
  if (!t.driver || t.memBase == unknown || t.memLen == unknown || t.memLen == 0) {
    RefusalSet(u"this module has no flash disk for the file-system stream (no driver key with MemBase and MemLen)");
    return FWL_ERR_FILE_FORMAT;
  }
  if (header.memBase != unknown && header.memBase != t.memBase) {
    return Refuse(FWL_ERR_AREA, u"the file-system stream lays its store at 0x%08x; this module's flash disk lies "
                  u"at 0x%08x", header.memBase, t.memBase);
  }
  if (header.memLen != unknown && header.memLen != 0 && header.memLen != t.memLen) {
    return Refuse(FWL_ERR_AREA, u"the file-system stream's store is 0x%x bytes; this module's flash disk is 0x%x",
                  header.memLen, t.memLen);
  }
  if (header.blockSize != unknown && header.blockSize != t.blockSize) {
    return Refuse(FWL_ERR_FILE_FORMAT, u"the file-system stream wants %u-byte blocks; this module's flash disk "
                  u"has %u", header.blockSize, t.blockSize);
  }
  if (header.sectorSize != unknown && header.sectorSize != t.sectorSize) {
    return Refuse(FWL_ERR_FILE_FORMAT, u"the file-system stream wants %u-byte sectors; this module's flash disk "
                  u"has %u", header.sectorSize, t.sectorSize);
  }
  if (!MappedRangeInFlash(t.memBase, t.memLen)) return FWL_ERR_FILE_FORMAT;
  if (ReachesFirstBootloader(t.memBase, t.memLen)) return FWL_ERR_AREA;
  if (!t.store || t.storeSectorBytes == 0) {
    RefusalSet(u"the flash disk's store is offline (an earlier update took it away): restart the module first");
    return FWL_ERR_FILE_FORMAT;
  }
  *plan = FsStreamPlan{header.type, t.memBase, t.memLen, t.storeSectorBytes, t.storeSectors, 0, 0, 0, 0, 0};
  return FWL_OK;
}

uint32_t CheckStream(const FsStreamHeader& header, FsStreamPlan* plan) {
  uint32_t result = CheckStreamTarget(header, g_checks.target, plan);
  if (result != FWL_OK) return result;
  if (header.type == FS_STREAM_SECTORS) return CheckSectorStream(header, g_checks.target, plan);
  if (header.type == FS_STREAM_FILES) return CheckFileStream(header, g_checks.target, plan);
  RefusalSet(u"the file-system stream is of type %u, neither files (2) nor sectors (3)", header.type);
  return FWL_ERR_FILE_VERSION;
}

// One stream, the image file at its data.
uint32_t RestoreStream(const FsStreamHeader& header) {
  FsStreamPlan plan = {};
  uint32_t result = CheckStream(header, &plan);
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

uint32_t CheckFileSystemStreams(const FsTarget& target) {
  uint64_t start = 0;
  if (!ImageFilePosition(&start)) return FWL_ERR_FILE_FORMAT;
  g_checks = StreamChecks{};
  g_checks.target = target;
  FsPlan& plan = g_checks.plan;
  uint32_t result = ForEachStream([&](const FsStreamHeader& header, uint64_t data, bool) {
    FsStreamPlan stream = {};
    uint32_t checked = CheckStream(header, &stream);
    if (checked != FWL_OK) return checked;
    if (plan.streams < FS_PLAN_STREAMS_SHOWN) plan.stream[plan.streams] = stream;
    plan.streams++;
    return ImageFileSeek(data + header.dataLength) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  });
  g_checks.checked = result == FWL_OK;
  return ImageFileSeek(start) ? result : FWL_ERR_FILE_FORMAT;
}

const FsPlan* FileSystemStreamsPlan() { return g_checks.checked ? &g_checks.plan : nullptr; }

uint32_t RestoreFileSystem() {
  // The streams are judged against the flash disk as it was before the
  // update took it offline; without that judgement nothing is restored.
  if (!g_checks.checked) return FWL_ERR_FILE_FORMAT;
  uint32_t result = ForEachStream([&](const FsStreamHeader& header, uint64_t, bool first) {
    // The instance a stream before this one loaded goes first: two drivers
    // on one region would each offer the store.
    uint32_t unloaded = first ? FWL_OK : UnloadFlashDisk();
    return unloaded == FWL_OK ? RestoreStream(header) : unloaded;
  });
  UnregisterFlashDiskDriver();
  return result;
}

void FileSystemStreamsResetForTests() { g_checks = StreamChecks{}; }
