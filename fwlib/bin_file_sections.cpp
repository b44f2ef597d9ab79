#include "fwlib/bin_file_sections.h"

#include "fwlib/bin_file_format.h"
#include "fwlib/bin_file_io.h"
#include "fwlib/checksum.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "storage/fs_stream_header.h"

namespace {

// Fletcher sum of a piece of the work buffer; false when the piece is not in
// whole words.
bool FletcherOf(const uint8_t* data, uint32_t length, uint32_t* sum) {
  ChecksumSelect(ChecksumKind::Fletcher);
  if (!ChecksumFeed(data, length)) return false;
  *sum = ChecksumResult();
  return true;
}

}  // namespace

bool ReadBinRecordHeader(BinRecordHeader* record) {
  uint8_t bytes[BIN_RECORD_HEADER_BYTES];
  if (!ImageFileReadAll(bytes, sizeof bytes)) return false;
  record->address = LoadLe32(bytes + BIN_RECORD_ADDRESS_OFFSET);
  record->length = LoadLe32(bytes + BIN_RECORD_LENGTH_OFFSET);
  record->checksum = LoadLe32(bytes + BIN_RECORD_CHECKSUM_OFFSET);
  return true;
}

bool ReadStreamChunkHeader(StreamChunkHeader* chunk) {
  uint8_t bytes[FS_CHUNK_HEADER_BYTES];
  if (!ImageFileReadAll(bytes, sizeof bytes)) return false;
  chunk->tag = LoadLe32(bytes + offsetof(FsChunkHeader, tag));
  chunk->length = LoadLe32(bytes + offsetof(FsChunkHeader, length));
  chunk->checksum = LoadLe32(bytes + offsetof(FsChunkHeader, checksum));
  return true;
}

uint32_t ReadStreamHeader(uint64_t position, StreamHeaderInfo* info, bool* found) {
  *found = false;
  if (!WorkBufferAcquire() || WorkBufferSize() < FS_STREAM_HEADER_BYTES) return FWL_ERR_NO_MEMORY;
  uint8_t* header = WorkBufferData();
  uint32_t got = ImageFileRead(header, FS_STREAM_HEADER_BYTES);
  uint32_t magic = got >= sizeof magic ? LoadLe32(header) : 0;
  if (got < FS_STREAM_HEADER_BYTES || (magic != FS_STREAM_MAGIC && magic != FS_STREAM_OLD_MAGIC)) {
    return ImageFileSeek(position) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  }
  if (magic == FS_STREAM_OLD_MAGIC || LoadLe32(header + FS_STREAM_VERSION_OFFSET) != FS_STREAM_VERSION) {
    return FWL_ERR_FILE_VERSION;
  }
  uint32_t size = LoadLe32(header + FS_STREAM_HEADER_SIZE_OFFSET);
  // The checksum needs whole words, and the header must fit where it is read.
  if (size < FS_STREAM_HEADER_BYTES || size > WorkBufferSize() || size % FLETCHER_PIECE_ALIGN != 0) {
    return FWL_ERR_FILE_FORMAT;
  }
  if (size != FS_STREAM_HEADER_BYTES && (!ImageFileSeek(position) || !ImageFileReadAll(header, size))) {
    return FWL_ERR_FILE_FORMAT;
  }
  info->headerSize = size;
  info->memBase = LoadLe32(header + FS_STREAM_MEM_BASE_OFFSET);
  info->memLen = LoadLe32(header + FS_STREAM_MEM_LEN_OFFSET);
  info->dataLength = LoadLe32(header + FS_STREAM_DATA_LENGTH_OFFSET);
  info->checksum = LoadLe32(header + size - CHECKSUM_WORD_BYTES);
  *found = true;
  return FWL_OK;
}

bool StreamHeaderChecksumMatches(const StreamHeaderInfo& info) {
  uint32_t sum = 0;
  return FletcherOf(WorkBufferData(), info.headerSize - CHECKSUM_WORD_BYTES, &sum) && sum == info.checksum;
}

uint32_t ReadCpldHeader(uint64_t position, CpldSectionInfo* info, bool* found) {
  *found = false;
  uint8_t header[CPLD_SECTION_HEADER_BYTES];
  uint32_t got = ImageFileRead(header, sizeof header);
  if (got < sizeof header || LoadLe32(header) != CPLD_SECTION_MAGIC) {
    return ImageFileSeek(position) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  }
  info->mode = LoadLe32(header + CPLD_MODE_OFFSET);
  if (info->mode > CPLD_MODE_MAX) return FWL_ERR_FILE_VERSION;
  info->headerSize = LoadLe32(header + CPLD_HEADER_SIZE_OFFSET);
  info->dataLength = LoadLe32(header + CPLD_DATA_LENGTH_OFFSET);
  info->streamLength = LoadLe32(header + CPLD_STREAM_LENGTH_OFFSET);
  info->checksum = LoadLe32(header + CPLD_CHECKSUM_OFFSET);
  // The data is summed in whole words; a ragged length could never match.
  // No CPLD section is larger than the largest work buffer: a length past
  // it is a damaged file, not a shortage of memory.
  if (info->headerSize < CPLD_SECTION_HEADER_BYTES || info->dataLength % FLETCHER_PIECE_ALIGN != 0 ||
      info->dataLength > WORK_BUFFER_BYTES) {
    return FWL_ERR_FILE_FORMAT;
  }
  if (info->headerSize != CPLD_SECTION_HEADER_BYTES) {
    if (!WorkBufferAcquire()) return FWL_ERR_NO_MEMORY;
    if (info->headerSize > WorkBufferSize()) return FWL_ERR_FILE_FORMAT;
    uint8_t* longer = WorkBufferData();
    if (!ImageFileSeek(position) || !ImageFileReadAll(longer, info->headerSize)) return FWL_ERR_FILE_FORMAT;
    info->checksum = LoadLe32(longer + info->headerSize - CHECKSUM_WORD_BYTES);
  }
  *found = true;
  return FWL_OK;
}

uint32_t ReadCpldData(const CpldSectionInfo& info) {
  if (!WorkBufferAcquire() || info.dataLength > WorkBufferSize()) return FWL_ERR_NO_MEMORY;
  return ImageFileReadAll(WorkBufferData(), info.dataLength) ? FWL_OK : FWL_ERR_FILE_FORMAT;
}

bool CpldDataChecksumMatches(const CpldSectionInfo& info) {
  uint32_t sum = 0;
  return FletcherOf(WorkBufferData(), info.dataLength, &sum) && sum == info.checksum;
}
