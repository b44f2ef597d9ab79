#include "fwlib/bin_file.h"

#include <algorithm>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "fwlib/address_map.h"
#include "fwlib/bin_file_coverage.h"
#include "fwlib/bin_file_format.h"
#include "fwlib/bin_file_io.h"
#include "fwlib/bin_file_sections.h"
#include "fwlib/checksum.h"
#include "fwlib/cpld_stream.h"
#include "fwlib/fs_region.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "fwlib/update_shadow.h"
#include "fwlib/work_buffer.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "storage/fs_restore.h"
#include "storage/fs_stream_header.h"
#include "storage/fs_target.h"

namespace {

constexpr uint32_t BYTE_ALIGN = 1;
constexpr uint64_t LARGEST_IMAGE_FILE = UINT32_MAX;  // positions are reported as 32-bit values

struct Walk {
  uint64_t position = 0;
  uint64_t size = 0;
  bool verify = false;
  RegionSummary summary = {0, IMAGE_NO_BIN_START, 0, 0};
  ImageDescription image = {};
};

uint32_t Report(const Walk& w) {
  return ReportValidate(static_cast<uint32_t>(w.position), static_cast<uint32_t>(w.size)) ? FWL_OK
                                                                                           : FWL_ERR_USER_ABORT;
}

// Takes `length` bytes into the running checksum, in pieces of whole
// `align` units as large as the work buffer, reporting after each. The
// bytes come straight from the mapped file where it could be mapped, else
// through the work buffer.
uint32_t SumData(Walk* w, uint64_t length, uint32_t align) {
  uint32_t limit = WorkBufferSize() - WorkBufferSize() % align;
  if (length != 0 && limit == 0) return FWL_ERR_NO_MEMORY;
  while (length != 0) {
    uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(length, limit));
    for (uint32_t left = piece; left != 0;) {
      const uint8_t* data = nullptr;
      uint32_t got = ImageFileBorrow(WorkBufferData(), left, align, &data);
      // Data cut short by the end of the file; only a Fletcher piece that
      // is not in whole words is refused.
      if (got == 0 || !ChecksumFeed(data, got)) return FWL_ERR_FILE_FORMAT;
      left -= got;
    }
    w->position += piece;
    length -= piece;
    uint32_t result = Report(*w);
    if (result != FWL_OK) return result;
  }
  return FWL_OK;
}

// Skips data unread; data said to go on past the end of the file is cut short.
uint32_t SkipData(Walk* w, uint64_t length) {
  if (w->position + length > w->size || !ImageFileSeek(w->position + length)) return FWL_ERR_FILE_FORMAT;
  w->position += length;
  return Report(*w);
}

// Where the records of the BIN part land, as far as the walk has come.
struct RecordPlan {
  uint32_t imageStart;
  uint32_t imageLength;
  uint32_t shift;
  uint64_t dataLength;
  RecordCoverage coverage;
};

// The page size NAND data is gathered into on its way to the flash; 0 where
// the flash is written straight through.
uint32_t WriterPageBytes() {
  if (FlashType != FLASH_TYPE_NAND || FlashOps.PageSize == nullptr) return 0;
  uint32_t page = FlashOps.PageSize();
  return (page & (page - 1)) == 0 ? page : 0;
}

// Each record must be writable where it lands, before anything is erased.
uint32_t PlaceRecord(RecordPlan* plan, const BinRecordHeader& record) {
  // A record outside the image's range would land on flash the update
  // never erased, or in the first bootloader.
  if (!RecordInImage(plan->imageStart, plan->imageLength, record.address, record.length)) return FWL_ERR_FILE_FORMAT;
  uint32_t offset = record.address + plan->shift;
  if (BootAreaReservedOverlap(offset, record.length)) return FWL_ERR_FILE_FORMAT;
  // Records inside the image add up to more than its length only by
  // overlapping; this also keeps the list of ranges bounded.
  plan->dataLength += record.length;
  if (plan->dataLength > plan->imageLength) return FWL_ERR_FILE_FORMAT;
  // The boot area of a NAND flash is assembled in memory; above it, pages
  // are written as the records come.
  bool paged = FlashType == FLASH_TYPE_NAND && offset >= BOOT_SHADOW_BYTES;
  return CoverageAdd(&plan->coverage, offset, record.length, paged);
}

uint32_t WalkRecordList(Walk* w, RecordPlan* plan) {
  for (;;) {
    BinRecordHeader record;
    if (!ReadBinRecordHeader(&record)) return FWL_ERR_FILE_FORMAT;
    w->position += BIN_RECORD_HEADER_BYTES;
    if (IsBinEndRecord(record)) break;
    uint32_t result = PlaceRecord(plan, record);
    if (result != FWL_OK) return result;
    if (w->verify) {
      ChecksumSelect(ChecksumKind::ByteSum);
      result = SumData(w, record.length, BYTE_ALIGN);
      if (result == FWL_OK && ChecksumResult() != record.checksum) result = FWL_ERR_CHECKSUM;
    } else {
      result = SkipData(w, record.length);
    }
    if (result != FWL_OK) return result;
  }
  return CoverageCheck(&plan->coverage);
}

// A bootloader the erase reaches must be written back: an image that erases
// one and puts nothing there leaves a module that no longer starts. The erase
// takes whole blocks, so the range is widened as the flash widens it.
uint32_t CheckBootloadersWritten(const RecordPlan& plan, uint32_t mappedStart) {
  if (plan.imageLength == 0) return FWL_OK;
  uint64_t start = mappedStart;
  uint64_t end = start + plan.imageLength;
  uint32_t block = FlashOps.BlockSize != nullptr ? FlashOps.BlockSize(mappedStart) : 0;
  if (block != 0 && (block & (block - 1)) == 0) {
    start &= ~uint64_t{block - 1};
    end = (end + block - 1) & ~uint64_t{block - 1};
  }
  for (uint32_t id : {REGION_BOOTLOADER, REGION_SECOND_BOOTLOADER}) {
    RegionSummary region = {id, 0, 0, 0};
    if (FWLGetRegionInfo(&region, nullptr) != FWL_OK || region.length == 0) continue;
    if (end <= region.start || start >= uint64_t{region.start} + region.length) continue;
    if (CoverageReaches(plan.coverage, region.start, region.length)) continue;
    RefusalSet(u"the image erases the %s (flash 0x%08x-0x%08x) but writes nothing into it", FWLGetRegionName(id),
               region.start, region.start + region.length - 1);
    return FWL_ERR_FILE_FORMAT;
  }
  return FWL_OK;
}

uint32_t WalkRecords(Walk* w, uint32_t imageStart, uint32_t imageLength, const ImagePlacement& placement) {
  RecordPlan plan = {imageStart, imageLength, placement.shift, 0, {}};
  CoverageStart(&plan.coverage, WriterPageBytes());
  uint32_t result = WalkRecordList(w, &plan);
  if (result == FWL_OK) result = CheckBootloadersWritten(plan, placement.mappedStart);
  CoverageFree(&plan.coverage);
  if (result == FWL_OK) result = Report(*w);
  if (result != FWL_OK) return result;
  uint32_t dataLength = static_cast<uint32_t>(plan.dataLength);  // at most the image length
  ImageDescription& image = w->image;
  image.mappedStart = placement.mappedStart;
  image.imageLength = imageLength;
  image.addressShift = placement.shift;
  image.dataLength = dataLength;
  image.linkedStart = imageStart;
  image.refuseUpdate = placement.refuseUpdate;
  image.binPartEnd = static_cast<uint32_t>(w->position);
  image.contents |= IMAGE_CONTENT_BIN;
  w->summary.flags |= IMAGE_HAS_BIN_RECORDS;
  w->summary.start = placement.mappedStart;
  w->summary.length = imageLength;
  w->summary.used = dataLength;
  return FWL_OK;
}

uint32_t WalkBinPart(Walk* w) {
  uint8_t header[BIN_HEADER_BYTES];
  if (ImageFileRead(header, sizeof header) < sizeof header || !IsBinSignature(header)) {
    w->image.mappedStart = IMAGE_NO_BIN_START;
    return ImageFileSeek(0) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  }
  w->position = BIN_HEADER_BYTES;
  uint32_t result = Report(*w);
  if (result != FWL_OK) return result;
  uint32_t imageStart = LoadLe32(header + BIN_IMAGE_START_OFFSET);
  uint32_t imageLength = LoadLe32(header + BIN_IMAGE_LENGTH_OFFSET);
  ImagePlacement placement = {};
  if (!BinAddressShift(imageStart, &placement.shift)) return FWL_ERR_FILE_FORMAT;
  placement.mappedStart = imageStart + placement.shift;
  ProtectFirstBootloader(imageStart, &placement);
  if (placement.firstBootloader) w->summary.flags |= REGION_FIRST_BOOTLOADER;
  // Past the end of the flash the erase would fail, after the flash disk
  // was taken offline.
  if (!MappedRangeInFlash(placement.mappedStart, imageLength)) return FWL_ERR_FILE_FORMAT;
  return WalkRecords(w, imageStart, imageLength, placement);
}

uint32_t WalkChunks(Walk* w, uint32_t dataLength) {
  uint64_t left = dataLength;
  while (left != 0) {
    StreamChunkHeader chunk;
    if (left < FS_CHUNK_HEADER_BYTES || !ReadStreamChunkHeader(&chunk)) return FWL_ERR_FILE_FORMAT;
    w->position += FS_CHUNK_HEADER_BYTES;
    left -= FS_CHUNK_HEADER_BYTES;
    // Chunks fill the data area exactly and are summed in whole words.
    if (chunk.length > left || chunk.length % FLETCHER_PIECE_ALIGN != 0) return FWL_ERR_FILE_FORMAT;
    ChecksumSelect(ChecksumKind::Fletcher);
    uint32_t result = SumData(w, chunk.length, FLETCHER_PIECE_ALIGN);
    if (result == FWL_OK && ChecksumResult() != chunk.checksum) result = FWL_ERR_CHECKSUM;
    if (result != FWL_OK) return result;
    left -= chunk.length;
  }
  return FWL_OK;
}

// The summary spans the BIN part and the stream's region, whichever comes
// first, so the caller is told of every region the update writes.
void AddStreamRegion(Walk* w, const StreamHeaderInfo& header) {
  FsStreamArea area = FsStreamRegion(header.memBase, header.memLen);
  RegionSummary& s = w->summary;
  uint64_t end = uint64_t{area.base} + area.length;
  if ((w->image.contents & IMAGE_CONTENT_BIN) != 0) end = std::max(end, uint64_t{s.start} + s.length);
  s.start = std::min(s.start, area.base);
  s.length = static_cast<uint32_t>(std::min<uint64_t>(end - s.start, UINT32_MAX));
  s.used += header.dataLength;
  // A store laid over the first bootloader of a fail-safe module is refused,
  // as a BIN part there is.
  if (ReachesFirstBootloader(area.base, area.length)) {
    s.flags |= REGION_FIRST_BOOTLOADER;
    w->image.refuseUpdate = true;
  }
}

uint32_t WalkStream(Walk* w) {
  if (w->position >= w->size) return FWL_OK;
  StreamHeaderInfo header;
  bool found = false;
  uint32_t result = ReadStreamHeader(w->position, &header, &found);
  if (result != FWL_OK || !found) return result;
  w->position += header.headerSize;
  result = Report(*w);
  if (result != FWL_OK) return result;
  if (w->verify && !StreamHeaderChecksumMatches(header)) return FWL_ERR_CHECKSUM;
  AddStreamRegion(w, header);
  result = w->verify ? WalkChunks(w, header.dataLength) : SkipData(w, header.dataLength);
  if (result != FWL_OK) return result;
  w->image.contents |= IMAGE_CONTENT_FS_STREAM;
  w->summary.flags |= REGION_FILE_SYSTEM;
  return FWL_OK;
}

uint32_t WalkCpldSection(Walk* w) {
  if (w->position >= w->size) return FWL_OK;
  CpldSectionInfo section;
  bool found = false;
  uint32_t result = ReadCpldHeader(w->position, &section, &found);
  if (result != FWL_OK || !found) return result;
  w->position += section.headerSize;
  // Checked also without verify: the update reads the section whole.
  if (w->position + section.dataLength > w->size) return FWL_ERR_FILE_FORMAT;
  if (!ReportValidate(static_cast<uint32_t>(w->position), 0)) return FWL_ERR_USER_ABORT;
  if (w->verify) {
    result = ReadCpldData(section);
    if (result != FWL_OK) return result;
    w->position += section.dataLength;
    if (!ReportValidate(static_cast<uint32_t>(w->position), 0)) return FWL_ERR_USER_ABORT;
    if (!CpldDataChecksumMatches(section)) return FWL_ERR_CHECKSUM;
    // Judged on every board: a file the NOR module takes may go to a NAND one.
    result = CpldStreamCheck(WorkBufferData(), section.dataLength, section.streamLength);
    if (result != FWL_OK) return result;
  }
  // The NOR module has no CPLD: its section is checked and then ignored.
  if (CpuPartCode() != FLASH_PART_CODE_PXA270) {
    w->image.contents |= IMAGE_CONTENT_CPLD;
    w->summary.flags |= REGION_CPLD_FIRMWARE;
  }
  return FWL_OK;
}

uint32_t WalkFile(Walk* w) {
  if (!ImageFileSize(&w->size) || w->size > LARGEST_IMAGE_FILE) return FWL_ERR_FILE_FORMAT;
  if (!ReportValidate(0, static_cast<uint32_t>(w->size))) return FWL_ERR_USER_ABORT;
  if (w->verify && !WorkBufferAcquire()) return FWL_ERR_NO_MEMORY;
  uint32_t result = WalkBinPart(w);
  if (result == FWL_OK) result = WalkStream(w);
  if (result == FWL_OK) result = WalkCpldSection(w);
  if (result == FWL_OK && !ImageFileSeek(0)) result = FWL_ERR_FILE_FORMAT;
  return result;
}

// Whether the update takes the flash disk offline: it restores a stream, or
// its erase reaches the File System region.
bool UnloadsFlashDisk(const ImageDescription& image) {
  if ((image.contents & IMAGE_CONTENT_FS_STREAM) != 0) return true;
  if ((image.contents & IMAGE_CONTENT_BIN) == 0 || image.imageLength == 0) return false;
  uint32_t regions = REGION_ALL;
  return FWLGetRegionsInArea(&regions, image.mappedStart, image.imageLength) == FWL_OK &&
         (regions & REGION_FILE_SYSTEM) != 0;
}

// What the file asks is judged against this module's flash disk, and so is
// where the file itself lies: an update that takes the flash disk offline
// cannot go on reading a file kept on it.
uint32_t PlanRun(const ImageDescription& image, const WCHAR* path) {
  if (!UnloadsFlashDisk(image)) return ImageFileSeek(0) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  FsTarget target;
  FsTargetRead(&target);
  if (FsTargetHoldsPath(target, path)) {
    RefusalSet(u"%s lies on the flash disk, which this update takes offline: copy it to another volume "
               u"(\\Temp, \\USB HD) and update from there", path);
    return FWL_ERR_AREA;
  }
  if ((image.contents & IMAGE_CONTENT_FS_STREAM) != 0) {
    uint32_t result = ImageFileSeek(image.binPartEnd) ? CheckFileSystemStreams(target) : FWL_ERR_FILE_FORMAT;
    if (result != FWL_OK) return result;
  }
  return ImageFileSeek(0) ? FWL_OK : FWL_ERR_FILE_FORMAT;
}

}  // namespace

uint32_t FWLSetBinFile(const WCHAR* path, RegionSummary* summary, ValidateProgressFn progress, int verify) {
  if (!FwlState()->initialised) return FWL_ERR_NOT_INITIALISED;
  FWLCloseFile();
  if (path == nullptr) return FWL_ERR_OPEN_FILE;
  HANDLE file = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return FWLSetBinHandle(file, path, summary, progress, verify);
}

uint32_t FWLSetBinHandle(HANDLE file, const WCHAR* path, RegionSummary* summary, ValidateProgressFn progress,
                         int verify) {
  FwlLibraryState* state = FwlState();
  if (!state->initialised) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return FWL_ERR_NOT_INITIALISED;
  }
  FWLCloseFile();
  RefusalClear();
  state->image = ImageDescription{};
  CallbacksClear();
  CallbackSetValidate(progress);
  if (file == INVALID_HANDLE_VALUE) return FWL_ERR_OPEN_FILE;
  state->imageFile = file;
  Walk w;
  w.verify = verify != 0;
  // Only the checked data is worth mapping; without verify it is skipped.
  if (w.verify) ImageFileMap();
  uint32_t result = WalkFile(&w);
  ImageFileUnmap();
  if (result == FWL_OK) result = PlanRun(w.image, path);
  if (result != FWL_OK) {
    FWLCloseFile();
    WorkBufferFree();
    return result;
  }
  state->image = w.image;
  if (summary != nullptr) *summary = w.summary;
  return FWL_OK;
}
