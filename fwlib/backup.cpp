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
#include "storage/fs_backup.h"

namespace {

// The part of the flash the BIN header announces.
struct Extent {
  uint32_t start;
  uint32_t length;
};

// A word as the file holds it: little-endian.
struct FileWord {
  uint8_t bytes[CHECKSUM_WORD_BYTES];
};

FileWord ToFileWord(uint32_t value) {
  return {{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
           static_cast<uint8_t>(value >> 24)}};
}

bool WriteWord(HANDLE file, uint32_t value) {
  FileWord word = ToFileWord(value);
  return FileWriteAll(file, word.bytes, sizeof word.bytes);
}

bool PatchWord(HANDLE file, uint64_t at, uint32_t value) {
  FileWord word = ToFileWord(value);
  return FilePatch(file, at, word.bytes, sizeof word.bytes);
}

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

// A page with bit errors would fail every corrected read; such a region is
// saved raw instead, as the chip holds it. Returns the setting to restore.
int PrepareEcc(uint32_t base) {
  if (FlashType != FLASH_TYPE_NAND || FlashOps.SetEcc == nullptr) return 0;
  int previous = FlashOps.SetEcc(1);
  uint32_t probe = std::min(BACKUP_ECC_PROBE_BYTES, WorkBufferSize());
  FlashOps.Read(WorkBufferWords(), base, probe);
  if (FlashError == FLASH_ERR_ECC_CORRECTED || FlashError == FLASH_ERR_ECC_UNCORRECTABLE) FlashOps.SetEcc(0);
  return previous;
}

void RestoreEcc(int previous) {
  if (FlashType == FLASH_TYPE_NAND && FlashOps.SetEcc != nullptr) FlashOps.SetEcc(previous);
}

// One record: header with a placeholder sum, the data, then the real sum
// written back over the placeholder once all data is out.
uint32_t SaveRegion(HANDLE file, uint32_t base, uint32_t length) {
  if (length == 0) return FWL_OK;
  ChecksumSelect(ChecksumKind::ByteSum);
  uint64_t checksumAt = 0;
  if (!WriteWord(file, base) || !WriteWord(file, length) || !FilePosition(file, &checksumAt) ||
      !WriteWord(file, 0)) {
    return FWL_ERR_WRITE_FILE;
  }
  if (FlashLock(FLASH_WAIT_FOREVER) == 0) return FWL_ERR_FLASH_READ;
  int previousEcc = PrepareEcc(base);
  uint32_t result = CopyRegionData(file, base, length);
  if (result == FWL_OK &&
      !PatchWord(file, checksumAt, ChecksumResult())) {
    result = FWL_ERR_WRITE_FILE;
  }
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
  if (!FileWriteAll(file, BIN_SIGNATURE, BIN_SIGNATURE_BYTES)) return FWL_ERR_WRITE_FILE;
  if (!WriteWord(file, extent.start) || !WriteWord(file, extent.length)) return FWL_ERR_WRITE_FILE;
  for (size_t i = 0; i < REGION_COUNT && list[i].id != 0; i++) {
    const FlashRegion& region = list[i];
    if ((region.id & mask) == 0 || (region.id & REGION_FILE_SYSTEM) != 0) continue;
    if (!ReportSectionStart(region.base, region.used, 0)) return FWL_ERR_USER_ABORT;
    // The Registry's halves take turns holding the live copy: both are saved.
    uint32_t length = (region.id & REGION_REGISTRY) != 0 ? region.length : region.used;
    uint32_t result = SaveRegion(file, region.base, length);
    if (result != FWL_OK) return result;
  }
  if (!WriteWord(file, 0) || !WriteWord(file, BIN_END_RECORD_ENTRY) || !WriteWord(file, 0)) return FWL_ERR_WRITE_FILE;
  return FWL_OK;
}

uint32_t BackupInto(HANDLE file, uint32_t mask) {
  if (!WorkBufferAcquire()) return FWL_ERR_NO_MEMORY;
  if ((mask & REGION_ID_BITS) == 0) return FWL_ERR_NO_REGION;
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

}  // namespace

uint32_t FWLBackupToFile(const WCHAR* path, uint32_t mask, SummaryFn summary, SectionStartFn sectionStart,
                         BytesProgressFn bytesProgress) {
  if (!FwlState()->initialised) return FWL_ERR_NOT_INITIALISED;
  CallbackSetValidate(nullptr);
  CallbackSetSummary(summary);
  CallbackSetSectionStart(sectionStart);
  CallbackSetBytesProgress(bytesProgress);
  FWLCloseFile();
  if (path == nullptr) return FWL_ERR_OPEN_FILE;
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FWL_ERR_OPEN_FILE;
  uint32_t result = BackupInto(file, mask);
  CloseHandle(file);
  WorkBufferFree();
  return result;
}
