#include "fwlib/backup.h"

#include <algorithm>

#include "flash/flash_layer.h"
#include "fwlib/bin_file_format.h"
#include "fwlib/checksum.h"
#include "fwlib/file_writes.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/text.h"
#include "storage/fs_backup.h"

namespace {

// The part of the flash the BIN header announces.
struct Extent {
  uint32_t start;
  uint32_t length;
};

// What a record header carries until its data is out: never a checksum of 0,
// which with address 0 would read as the end record, so a file cut after the
// header fails its checksum instead of reading as a complete image.
constexpr uint32_t BIN_CHECKSUM_PLACEHOLDER = 0xFFFFFFFF;

// The backup is written under this name in the target's folder and takes
// the target's name only when complete.
constexpr WCHAR PARTIAL_NAME_FORMAT[] = u"~%08x.tmp";
constexpr size_t PARTIAL_NAME_CHARS = 13;

// Reads the region into the file piece by piece, with the lock and the
// error-correction setting already arranged by the caller.
uint32_t CopyRegionData(HANDLE file, uint32_t base, uint32_t length) {
  uint32_t address = base;
  uint32_t remaining = length;
  while (remaining != 0) {
    uint32_t piece = std::min(remaining, WorkBufferSize());
    if (FlashOps.Read(WorkBufferWords(), address, piece) == 0) return FWL_ERR_FLASH_READ;
    ChecksumFeed(WorkBufferData(), piece);
    if (!FileWriteAll(file, WorkBufferData(), piece)) return FWL_ERR_WRITE_FILE;
    if (!ReportBytes(piece)) return FWL_ERR_USER_ABORT;
    address += piece;
    remaining -= piece;
  }
  return FWL_OK;
}

// NAND regions are read with correction on, whatever their first page
// shows: a bit error is repaired, one past repair fails the backup instead
// of going into the file. The driver takes erased pages and pages without
// a code of their own as they are. Returns the setting to restore.
int PrepareEcc() {
  if (FlashType != FLASH_TYPE_NAND || FlashOps.SetEcc == nullptr) return 0;
  return FlashOps.SetEcc(1);
}

void RestoreEcc(int previous) {
  if (FlashType == FLASH_TYPE_NAND && FlashOps.SetEcc != nullptr) FlashOps.SetEcc(previous);
}

// One record: header with the placeholder sum, the data, then the real sum
// written back over the placeholder once all data is out.
uint32_t SaveRegion(HANDLE file, uint32_t base, uint32_t length) {
  if (length == 0) return FWL_OK;
  ChecksumSelect(ChecksumKind::ByteSum);
  uint64_t checksumAt = 0;
  const uint32_t header[] = {base, length, BIN_CHECKSUM_PLACEHOLDER};
  if (!FilePosition(file, &checksumAt) || !FileWriteLe32(file, header, 3)) return FWL_ERR_WRITE_FILE;
  checksumAt += BIN_RECORD_CHECKSUM_OFFSET;
  if (FlashLock(FLASH_WAIT_FOREVER) == 0) return FWL_ERR_FLASH_READ;
  int previousEcc = PrepareEcc();
  uint32_t result = CopyRegionData(file, base, length);
  uint32_t checksum = ChecksumResult();
  if (result == FWL_OK && !FilePatchLe32(file, checksumAt, &checksum, 1)) result = FWL_ERR_WRITE_FILE;
  RestoreEcc(previousEcc);
  FlashUnlock();
  return result;
}

// The File System is saved as a stream, not a record: where it sits at
// either end of the selection the BIN part's extent leaves it out. Between
// other regions it stays inside.
uint32_t BinExtent(const FlashRegion* list, RegionSummary* summary, Extent* extent) {
  *extent = {summary->start, summary->length};
  if ((summary->flags & REGION_FILE_SYSTEM) == 0) return FWL_OK;
  size_t fs = 0;
  while (list[fs].id != 0 && (list[fs].id & REGION_FILE_SYSTEM) == 0) fs++;
  if (list[fs].id == 0) return FWL_ERR_NO_REGION;
  const FlashRegion& after = list[fs + 1];
  uint64_t end = uint64_t{summary->start} + summary->length;
  if (fs == 0) {
    extent->start = after.base;
    extent->length = static_cast<uint32_t>(end - after.base);
  }
  if (after.id == 0) extent->length -= list[fs].length;
  summary->used -= std::min(summary->used, list[fs].used);
  return FWL_OK;
}

uint32_t WriteBinPart(HANDLE file, const FlashRegion* list, uint32_t mask, const Extent& extent) {
  const uint32_t range[] = {extent.start, extent.length};
  if (!FileWriteAll(file, BIN_SIGNATURE, BIN_SIGNATURE_BYTES) || !FileWriteLe32(file, range, 2)) {
    return FWL_ERR_WRITE_FILE;
  }
  for (size_t i = 0; i < REGION_COUNT && list[i].id != 0; i++) {
    const FlashRegion& region = list[i];
    if ((region.id & mask) == 0 || (region.id & REGION_FILE_SYSTEM) != 0) continue;
    // The Registry's halves take turns holding the live copy: both are saved.
    uint32_t length = (region.id & REGION_REGISTRY) != 0 ? region.length : region.used;
    if (!ReportSectionStart(region.base, length, 0)) return FWL_ERR_USER_ABORT;
    uint32_t result = SaveRegion(file, region.base, length);
    if (result != FWL_OK) return result;
  }
  const uint32_t endRecord[] = {0, BIN_END_RECORD_ENTRY, 0};
  return FileWriteLe32(file, endRecord, 3) ? FWL_OK : FWL_ERR_WRITE_FILE;
}

uint32_t BackupInto(HANDLE file, uint32_t mask) {
  if (!WorkBufferAcquire()) return FWL_ERR_NO_MEMORY;
  if ((mask & REGION_ID_BITS) == 0) return FWL_ERR_NO_REGION;
  // A region the last scan could not look at, or a flash disk that is
  // configured but gone (an update took it away), would otherwise drop out
  // of the backup without a word.
  if ((FwlState()->unreadRegions & mask) != 0) return FWL_ERR_FLASH_READ;
  if (mask == REGION_ALL && FwlState()->fsStoreMissing) return FWL_ERR_FS_DRIVER;
  RegionSummary summary = {mask, 0, 0, 0};
  FlashRegion list[REGION_TABLE_ENTRIES] = {};
  uint32_t result = FWLGetRegionInfo(&summary, list);
  if (result != FWL_OK) return result;
  // Only identifiers count: a two-stage bootloader carries a flag bit that
  // no caller's mask names.
  uint32_t found = summary.flags & REGION_ID_BITS;
  if (found != (mask & REGION_ID_BITS)) {
    if (mask != REGION_ALL) return FWL_ERR_REGION_ABSENT;
    mask = found;
  }
  if (!ReportSummary(&summary)) return FWL_ERR_USER_ABORT;
  if (found != REGION_FILE_SYSTEM) {
    Extent extent = {};
    result = BinExtent(list, &summary, &extent);
    if (result == FWL_OK) result = WriteBinPart(file, list, mask, extent);
    if (result != FWL_OK) return result;
  }
  if ((found & REGION_FILE_SYSTEM) != 0) result = BackupFileSystem(file);
  return result;
}

// "~hhhhhhhh.tmp" in the target's folder, the hash of the target's name
// without regard to case, so that backups into one folder stay apart and two
// backups into one file meet on one name. False when it does not fit.
bool PartialName(const WCHAR* path, WCHAR (&partial)[MAX_PATH]) {
  size_t length = TextLengthBounded(path, MAX_PATH);
  if (length == 0 || length == MAX_PATH) return false;
  size_t folder = length;
  while (folder > 0 && path[folder - 1] != u'\\' && path[folder - 1] != u'/') folder--;
  if (folder == length || folder + PARTIAL_NAME_CHARS >= MAX_PATH) return false;
  uint32_t hash = 2166136261u;  // FNV-1a
  for (size_t i = folder; i < length; i++) hash = (hash ^ TextToLower(path[i])) * 16777619u;
  std::copy(path, path + folder, partial);
  return StringCchPrintfW(partial + folder, MAX_PATH - folder, PARTIAL_NAME_FORMAT, hash) == S_OK;
}

// The target must be a file the finished backup may replace.
bool TargetReplaceable(const WCHAR* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes == INVALID_FILE_ATTRIBUTES ||
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

}  // namespace

uint32_t FWLBackupToFile(const WCHAR* path, uint32_t mask, SummaryFn summary, SectionStartFn sectionStart,
                         BytesProgressFn bytesProgress) {
  if (!FwlState()->initialised) return FWL_ERR_NOT_INITIALISED;
  CallbackSetValidate(nullptr);
  CallbackSetSummary(summary);
  CallbackSetSectionStart(sectionStart);
  CallbackSetBytesProgress(bytesProgress);
  FWLCloseFile();
  WCHAR partial[MAX_PATH];
  if (path == nullptr || !PartialName(path, partial) || !TargetReplaceable(path)) return FWL_ERR_OPEN_FILE;
  HANDLE file = CreateFileW(partial, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FWL_ERR_OPEN_FILE;
  uint32_t result = BackupInto(file, mask);
  // On its way to the target's name the file must be all there.
  if (result == FWL_OK && !FlushFileBuffers(file)) result = FWL_ERR_WRITE_FILE;
  if (!CloseHandle(file) && result == FWL_OK) result = FWL_ERR_WRITE_FILE;
  if (result == FWL_OK && !MoveFileExW(partial, path, MOVEFILE_REPLACE_EXISTING)) result = FWL_ERR_OPEN_FILE;
  if (result != FWL_OK) DeleteFileW(partial);
  WorkBufferFree();
  return result;
}
