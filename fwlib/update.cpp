#include "fwlib/update.h"

#include <algorithm>

#include "cpld/cpld.h"
#include "flash/flash_layer.h"
#include "fwlib/address_map.h"
#include "fwlib/bin_file_format.h"
#include "fwlib/bin_file_io.h"
#include "fwlib/bin_file_sections.h"
#include "fwlib/checksum.h"
#include "fwlib/cpld_stream.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/unit_writer.h"
#include "fwlib/update_config.h"
#include "fwlib/update_shadow.h"
#include "fwlib/work_buffer.h"
#include "storage/flash_disk_driver.h"
#include "storage/fs_restore.h"
#include "storage/fs_target.h"

namespace {

struct UpdateState {
  // The erase slot said stop: the failed erase is the user's abort.
  bool eraseAborted = false;
  // The File System region's flash may have changed: erased, written or
  // restored. Until then a failed update can give the flash disk back.
  bool fileSystemTouched = false;
};

UpdateState g_update;

// Handed to the flash layer, so that a stop asked during the erase can be
// told apart from a failing erase.
int EraseHook(uint32_t done, uint32_t total) {
  if (ReportErase(done, total)) return 1;
  g_update.eraseAborted = true;
  return 0;
}

const ImageDescription& Image() { return FwlState()->image; }

// Bytes of a record piece go to the boot-area shadow on NAND, everything
// else to the unit writer.
uint32_t PlacePiece(const uint8_t* data, uint32_t address, uint32_t n) {
  if (FlashType == FLASH_TYPE_NAND && address < BOOT_SHADOW_BYTES) {
    uint32_t taken = ShadowPut(data, address, n);
    data += taken;
    address += taken;
    n -= taken;
  }
  return n == 0 ? FWL_OK : UnitWrite(data, address, n);
}

uint32_t WriteRecordData(uint32_t address, uint32_t length) {
  while (length != 0) {
    uint32_t piece = std::min(length, WorkBufferSize());
    if (!ImageFileReadAll(WorkBufferData(), piece)) return FWL_ERR_FILE_FORMAT;
    ChecksumFeed(WorkBufferData(), piece);
    // Reading a piece takes no time beside programming it: the program is
    // reported as it goes.
    for (uint32_t at = 0; at < piece;) {
      uint32_t part = std::min(piece - at, UPDATE_BYTES_PROGRESS_STEP);
      uint32_t result = PlacePiece(WorkBufferData() + at, address + at, part);
      if (result != FWL_OK) return result;
      if (!ReportBytes(part)) return FWL_ERR_USER_ABORT;
      at += part;
    }
    address += piece;
    length -= piece;
  }
  return FWL_OK;
}

uint32_t WriteRecords() {
  const ImageDescription& image = Image();
  if (!ImageFileSeek(BIN_HEADER_BYTES)) return FWL_ERR_FILE_FORMAT;
  ChecksumSelect(ChecksumKind::ByteSum);
  for (;;) {
    BinRecordHeader record;
    if (!ReadBinRecordHeader(&record)) return FWL_ERR_FILE_FORMAT;
    if (IsBinEndRecord(record)) return ShadowUsed() ? ShadowWriteBack() : FWL_OK;
    // The file was checked when it was opened; should it have changed since,
    // nothing may land outside the range just erased.
    if (!RecordInImage(image.linkedStart, image.imageLength, record.address, record.length)) {
      return FWL_ERR_FILE_FORMAT;
    }
    uint32_t address = record.address + image.addressShift;
    if (!ReportSectionStart(address, record.length, record.checksum)) return FWL_ERR_USER_ABORT;
    uint32_t result = WriteRecordData(address, record.length);
    if (result != FWL_OK) return result;
    if (ChecksumResult() != record.checksum) return FWL_ERR_CHECKSUM;
    ChecksumReset();
  }
}

uint32_t EraseAndWrite(bool coversFileSystem) {
  const ImageDescription& image = Image();
  // An empty image erases nothing: the slot would widen it to a whole block.
  if (image.imageLength != 0) {
    g_update.eraseAborted = false;
    if (coversFileSystem) g_update.fileSystemTouched = true;
    if (FlashOps.Erase(image.mappedStart, image.imageLength) == 0) {
      return g_update.eraseAborted ? FWL_ERR_USER_ABORT : FWL_ERR_FLASH_ERASE;
    }
  }
  if (!ReportErase(image.imageLength, image.imageLength)) return FWL_ERR_USER_ABORT;
  return WriteRecords();
}

uint32_t WriteBinPart(uint32_t regions) {
  bool keepConfig = (regions & REGION_CONFIG_BLOCK) != 0;
  if (keepConfig) UpdateConfigSave();
  uint32_t result;
  if (FlashLock(FLASH_WAIT_FOREVER) == 0) {
    // Without the lock nothing is erased or written.
    result = FWL_ERR_FLASH_ERASE;
  } else {
    result = EraseAndWrite((regions & REGION_FILE_SYSTEM) != 0);
    uint32_t flushed = UnitFlush();
    if (result == FWL_OK) result = flushed;
    FlashUnlock();
  }
  // Items the board lost would go unnoticed until the module misbehaves.
  if (keepConfig && !UpdateConfigRestore() && result == FWL_OK) result = FWL_ERR_FLASH_WRITE;
  return result;
}

// The section is read and its stream judged again (the file may have changed
// since it was validated) before CpldInit, whose identity read is the first
// clock on the TAP: a refused stream clocks nothing.
uint32_t ProgramCpld() {
  uint64_t position = 0;
  CpldSectionInfo section = {};
  bool found = false;
  if (!ImageFilePosition(&position) || ReadCpldHeader(position, &section, &found) != FWL_OK || !found ||
      ReadCpldData(section) != FWL_OK || !CpldDataChecksumMatches(section) ||
      CpldStreamCheck(WorkBufferData(), section.dataLength, section.streamLength) != FWL_OK) {
    return FWL_ERR_FILE_FORMAT;
  }
  if (CpldInit() != CPLD_OK) {
    CpldRelease();
    return FWL_ERR_CPLD_VERSION;
  }
  uint32_t result = FWL_OK;
  if (!ReportSectionStart(0, section.dataLength, 0) || !ReportBytes(0)) {
    result = FWL_ERR_USER_ABORT;
  } else if (CpldProgram(WorkBufferData(), CpldStreamLength(WorkBufferData(), section.dataLength, section.streamLength),
                         section.mode) != CPLD_OK) {
    result = FWL_ERR_CPLD_PROGRAM;
    CpldRunFailureRefusal(CpldLastProgramFailure());
  } else {
    // Programmed: a stop asked now has nothing left to spare, and must not
    // make a finished CPLD look stopped.
    ReportBytes(section.dataLength);
  }
  CpldRelease();
  return result;
}

uint32_t Prepare(EraseProgressFn eraseProgress, SectionStartFn sectionStart, BytesProgressFn bytesProgress) {
  FwlLibraryState* state = FwlState();
  RefusalClear();
  if (state->image.refuseUpdate) return FWL_ERR_AREA;
  if (!WorkBufferAcquire()) return FWL_ERR_NO_MEMORY;
  if (!state->initialised) return FWL_ERR_NOT_INITIALISED;
  CallbacksReset();
  CallbackSetErase(eraseProgress);
  CallbackSetSectionStart(sectionStart);
  CallbackSetBytesProgress(bytesProgress);
  if (state->imageFile == INVALID_HANDLE_VALUE) return FWL_ERR_OPEN_FILE;
  FlashSetProgress(EraseHook, UPDATE_ERASE_PROGRESS_STEP);
  ShadowClear();
  return FWL_OK;
}

uint32_t Run() {
  const ImageDescription& image = Image();
  bool hasBin = (image.contents & IMAGE_CONTENT_BIN) != 0;
  bool hasStream = (image.contents & IMAGE_CONTENT_FS_STREAM) != 0;
  uint32_t regions = 0;
  if (hasBin) {
    regions = REGION_ALL;
    FWLGetRegionsInArea(&regions, image.mappedStart, image.imageLength);
  }
  uint32_t result = FWL_OK;
  bool unloaded = hasStream || (regions & REGION_FILE_SYSTEM) != 0;
  g_update.fileSystemTouched = false;
  // A stream that cannot be written back is refused before anything is,
  // judged against the flash disk as it is before it goes offline.
  if (hasStream) {
    FsTarget target;
    FsTargetRead(&target);
    result = ImageFileSeek(image.binPartEnd) ? CheckFileSystemStreams(target) : FWL_ERR_FILE_FORMAT;
    if (result != FWL_OK) return result;
  }
  if (unloaded) result = UnloadFlashDisk();
  if (result == FWL_OK && hasBin) result = WriteBinPart(regions);
  if (result == FWL_OK && hasStream) {
    g_update.fileSystemTouched = true;
    result = ImageFileSeek(image.binPartEnd) ? RestoreFileSystem() : FWL_ERR_FILE_FORMAT;
  } else if (result == FWL_OK && (image.contents & IMAGE_CONTENT_CPLD) != 0 && !ImageFileSeek(image.binPartEnd)) {
    result = FWL_ERR_FILE_FORMAT;
  }
  // After a restore the section follows the last stream, where the restore left the file.
  if (result == FWL_OK && (image.contents & IMAGE_CONTENT_CPLD) != 0) result = ProgramCpld();
  if (unloaded) {
    // Its flash is as it was: the module need not go without its flash disk
    // until the next restart. The update's own result stays what the user sees.
    if (result != FWL_OK && !g_update.fileSystemTouched) ReloadFlashDisk();
    // Gone, back or restored: the table (and the next backup) must know.
    FWLScanRegions(REGION_FILE_SYSTEM);
  }
  return result;
}

}  // namespace

uint32_t FWLDoUpdate(EraseProgressFn eraseProgress, SectionStartFn sectionStart, BytesProgressFn bytesProgress) {
  uint32_t result = Prepare(eraseProgress, sectionStart, bytesProgress);
  if (result == FWL_OK) result = Run();
  FlashSetProgress(nullptr, 0);
  ShadowClear();
  WorkBufferFree();
  return result;
}

void UpdateResetForTests() {
  g_update = UpdateState{};
  FileSystemStreamsResetForTests();
  UpdateConfigResetForTests();
  UnitWriterResetForTests();
  ShadowClear();
}
