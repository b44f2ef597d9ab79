#include "storage/fs_restore_files.h"

#include <algorithm>

#include "fwlib/bin_file_io.h"
#include "fwlib/callbacks.h"
#include "fwlib/file_writes.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/error.h"
#include "platform/files.h"
#include "storage/fs_stream_records.h"
#include "storage/store_format.h"

namespace {

bool IsFolder(const FsFileRecord& record) { return (record.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// The stream's records, read up to the end of its data.
struct RecordReader {
  uint64_t end;  // file position where the stream's data ends
};

uint64_t Position() {
  uint64_t at = 0;
  return ImageFilePosition(&at) ? at : UINT64_MAX;
}

bool Left(const RecordReader& reader, uint64_t bytes) {
  uint64_t at = Position();
  return at <= reader.end && reader.end - at >= bytes;
}

// The next file record of `volume`: false at the end of the volume's files
// (the stream ends, or the record belongs to the next partition; the
// position is then where the record began). 6 in *result for a damaged one.
bool NextFileRecord(const RecordReader& reader, const WCHAR* volume, FsFileRecord* record, uint32_t* result) {
  *result = FWL_OK;
  uint64_t at = Position();
  if (!Left(reader, FS_FILE_RECORD_BYTES)) return false;
  uint8_t bytes[FS_FILE_RECORD_BYTES];
  if (!ImageFileReadAll(bytes, sizeof bytes)) {
    *result = FWL_ERR_FILE_FORMAT;
    return false;
  }
  if (!FsFileRecordDecode(bytes, record)) {
    *result = FWL_ERR_FILE_FORMAT;
    return false;
  }
  if (!FsPathInVolume(record->path, volume)) {
    if (!ImageFileSeek(at)) *result = FWL_ERR_FILE_FORMAT;
    return false;
  }
  if (!FsPathIsPlain(record->path)) *result = FWL_ERR_FILE_FORMAT;
  return *result == FWL_OK;
}

uint32_t ReadPartitionRecord(const RecordReader& reader, FsPartitionRecord* record) {
  uint8_t bytes[FS_PARTITION_RECORD_BYTES];
  if (!Left(reader, sizeof bytes) || !ImageFileReadAll(bytes, sizeof bytes)) return FWL_ERR_FILE_FORMAT;
  return FsPartitionRecordDecode(bytes, record) ? FWL_OK : FWL_ERR_FILE_FORMAT;
}

uint32_t PartitionCount(const FsStreamHeader& header) { return FsStreamStoreInfo(header).dwPartitionCount; }

bool SkipPreamble(const RecordReader& reader) {
  uint8_t preamble[FS_FILES_PREAMBLE_BYTES];
  return Left(reader, sizeof preamble) && ImageFileReadAll(preamble, sizeof preamble);
}

uint32_t MakeFolder(const FsFileRecord& record) {
  if (CreateDirectoryW(record.path, nullptr)) {
    return SetFileAttributesW(record.path, record.attributes) ? FWL_OK : FWL_ERR_FS_RESTORE;
  }
  // The volume's own folder, or one made before: it keeps its attributes.
  return GetLastError() == ERROR_ALREADY_EXISTS ? FWL_OK : FWL_ERR_FS_RESTORE;
}

uint32_t MakeFile(const FsFileRecord& record) {
  HANDLE file = CreateFileW(record.path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, record.attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) return FWL_ERR_FS_RESTORE;
  uint32_t result = FWL_OK;
  for (uint32_t left = record.sizeLow; result == FWL_OK && left != 0;) {
    uint32_t piece = std::min(left, WorkBufferSize());
    if (!ImageFileReadAll(WorkBufferData(), piece) || !FileWriteAll(file, WorkBufferData(), piece)) {
      result = FWL_ERR_FS_RESTORE;
    } else if (!ReportBytes(piece)) {
      result = FWL_ERR_USER_ABORT;
    }
    left -= piece;
  }
  if (result == FWL_OK && !SetFileTime(file, &record.created, &record.accessed, &record.written)) {
    result = FWL_ERR_FS_RESTORE;
  }
  if (!CloseHandle(file) && result == FWL_OK) result = FWL_ERR_FS_RESTORE;
  return result;
}

// The files of one partition; `used` receives the stream bytes they took.
uint32_t RestoreVolume(const RecordReader& reader, const WCHAR* volume, uint64_t* used) {
  uint64_t start = Position();
  FsFileRecord record;
  uint32_t result = FWL_OK;
  while (result == FWL_OK && NextFileRecord(reader, volume, &record, &result)) {
    if (!ReportBytes(FS_FILE_RECORD_BYTES)) return FWL_ERR_USER_ABORT;
    result = IsFolder(record) ? MakeFolder(record) : MakeFile(record);
  }
  *used = Position() - start;
  return result;
}

}  // namespace

uint32_t CheckFileStream(const FsStreamHeader& header) {
  uint64_t start = Position();
  RecordReader reader = {start + header.dataLength};
  uint32_t result = SkipPreamble(reader) ? FWL_OK : FWL_ERR_FILE_FORMAT;
  for (uint32_t p = 0; result == FWL_OK && p < PartitionCount(header); p++) {
    FsPartitionRecord partition;
    result = ReadPartitionRecord(reader, &partition);
    FsFileRecord record;
    while (result == FWL_OK && NextFileRecord(reader, partition.volume, &record, &result)) {
      uint32_t content = IsFolder(record) ? 0 : record.sizeLow;
      if (!Left(reader, content) || !ImageFileSeek(Position() + content)) result = FWL_ERR_FILE_FORMAT;
    }
  }
  if (!ImageFileSeek(start)) return FWL_ERR_FILE_FORMAT;
  return result;
}

uint32_t RestoreFileStream(HANDLE store, const FsStreamHeader& header, uint32_t address) {
  RecordReader reader = {Position() + header.dataLength};
  if (!SkipPreamble(reader)) return FWL_ERR_FILE_FORMAT;
  for (uint32_t p = 0; p < PartitionCount(header); p++) {
    FsPartitionRecord partition;
    uint32_t result = ReadPartitionRecord(reader, &partition);
    if (result != FWL_OK) return result;
    if (!CreateStreamPartition(store, partition.info)) return FWL_ERR_FORMAT;
    if (!ReportSectionStart(address, partition.usedBytes, 0)) return FWL_ERR_USER_ABORT;
    uint64_t used = 0;
    result = RestoreVolume(reader, partition.volume, &used);
    if (result != FWL_OK) return result;
    // The section's progress reaches the total it announced.
    if (used < partition.usedBytes && !ReportBytes(static_cast<uint32_t>(partition.usedBytes - used))) {
      return FWL_ERR_USER_ABORT;
    }
  }
  return FWL_OK;
}
