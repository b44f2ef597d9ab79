#include "storage/fs_restore_files.h"

#include <algorithm>

#include "fwlib/bin_file_io.h"
#include "fwlib/callbacks.h"
#include "fwlib/checksum.h"
#include "fwlib/file_writes.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/text.h"
#include "storage/fs_record_paths.h"
#include "storage/fs_stream_records.h"
#include "storage/store_format.h"

namespace {

constexpr ULONGLONG ALL_REMAINING_SECTORS = ~ULONGLONG{0};

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

// One partition's records, judged as the restore will meet them.
struct PartitionCheck {
  const WCHAR* volume;
  size_t volumeLength;
  uint64_t capacity;  // bytes of the partition; all that is left when it takes the rest
  FsPathSet made;
};

uint32_t Refuse(const WCHAR* what, const WCHAR* path) {
  RefusalSet(u"the file-system stream %s: %s", what, path);
  return FWL_ERR_FILE_FORMAT;
}

// Every component after the volume fits a FAT volume.
bool NamesFit(const WCHAR* path, size_t from) {
  const WCHAR* part = path + from;
  while (*part != 0) {
    part++;  // the separator
    const WCHAR* end = part;
    while (*end != 0 && *end != u'\\' && *end != u'/') end++;
    if (!FsNameFitsVolume(part, static_cast<size_t>(end - part))) return false;
    part = end;
  }
  return true;
}

// The record's folder was made before it, and its own path is new (a folder
// may be named again: the restore keeps the one there).
uint32_t CheckRecordPath(PartitionCheck* p, const FsFileRecord& record) {
  size_t length = TextLength(record.path);
  bool folder = IsFolder(record);
  if (length == p->volumeLength) {
    return folder ? FWL_OK : Refuse(u"makes a file of its volume's own folder", record.path);
  }
  if (!NamesFit(record.path, p->volumeLength)) return Refuse(u"names a file the volume cannot hold", record.path);
  size_t parent = length;
  while (record.path[parent - 1] != u'\\' && record.path[parent - 1] != u'/') parent--;
  parent--;
  if (parent > p->volumeLength && FsPathSetFind(p->made, record.path, parent) != FsPathKind::Folder) {
    return Refuse(u"puts a file in a folder it never made", record.path);
  }
  FsPathKind before = FsPathSetFind(p->made, record.path, length);
  if (before != FsPathKind::None && !(before == FsPathKind::Folder && folder)) {
    return Refuse(u"names one path twice", record.path);
  }
  if (!FsPathSetAdd(&p->made, record.path, length, folder ? FsPathKind::Folder : FsPathKind::File)) {
    return FWL_ERR_NO_MEMORY;
  }
  return FWL_OK;
}

uint32_t CheckPartitionFiles(const RecordReader& reader, PartitionCheck* p, FsStreamPlan* plan) {
  FsFileRecord record;
  uint32_t result = FWL_OK;
  uint64_t bytes = 0;
  while (result == FWL_OK && NextFileRecord(reader, p->volume, &record, &result)) {
    result = CheckRecordPath(p, record);
    if (result != FWL_OK) return result;
    uint32_t content = IsFolder(record) ? 0 : record.sizeLow;
    if (!Left(reader, content) || !ImageFileSeek(Position() + content)) {
      return Refuse(u"is cut short inside the contents of", record.path);
    }
    bytes += content;
    if (IsFolder(record)) plan->folders++;
    else plan->files++;
  }
  if (result != FWL_OK) {
    RefusalSet(u"the file-system stream has a record of %s that is damaged or names \".\", \"..\" or an empty "
               u"folder", p->volume);
    return result;
  }
  plan->fileBytes += bytes;
  if (bytes > p->capacity) {
    RefusalSet(u"the file-system stream holds %u bytes of files for %s, which has room for %u",
               Clamp32(bytes), p->volume, Clamp32(p->capacity));
    return FWL_ERR_FILE_FORMAT;
  }
  return FWL_OK;
}

// The partition is created where the restore creates it: under the volume
// name the store will mount it as, in the room the formatted store has.
uint32_t CheckPartition(const FsPartitionRecord& partition, uint32_t index, const FsTarget& target,
                        uint64_t* sectorsLeft, PartitionCheck* p) {
  WCHAR expected[FS_VOLUME_CHARS + 1];
  if (!FsTargetVolumeName(target, index, expected, FS_VOLUME_CHARS + 1)) {
    RefusalSet(u"this module's flash disk profile names no folder for its volumes");
    return FWL_ERR_FILE_FORMAT;
  }
  if (TextCompareNoCase(partition.volume, expected) != 0) {
    RefusalSet(u"the file-system stream's partition %u is %s, but it would be mounted as %s", index + 1,
               partition.volume, expected);
    return FWL_ERR_FILE_FORMAT;
  }
  uint64_t sectors = partition.info.snNumSectors;
  if (sectors == ALL_REMAINING_SECTORS) sectors = *sectorsLeft;
  if (sectors == 0 || sectors > *sectorsLeft) {
    RefusalSet(u"the file-system stream's partition %s does not fit the %u sectors left on this module's store",
               partition.volume, Clamp32(*sectorsLeft));
    return FWL_ERR_FILE_FORMAT;
  }
  *sectorsLeft -= sectors;
  p->volume = partition.volume;
  p->volumeLength = TextLength(partition.volume);
  p->capacity = sectors * target.storeSectorBytes;
  return FWL_OK;
}

uint32_t CheckPartitions(const RecordReader& reader, const FsStreamHeader& header, const FsTarget& target,
                         FsStreamPlan* plan) {
  uint32_t count = PartitionCount(header);
  if (count > FS_STORE_MAX_PARTITIONS) {
    RefusalSet(u"the file-system stream has %u partitions; the store holds at most %u", count,
               FS_STORE_MAX_PARTITIONS);
    return FWL_ERR_FILE_FORMAT;
  }
  uint64_t sectorsLeft = target.partitionSectors;
  uint32_t result = FWL_OK;
  for (uint32_t p = 0; result == FWL_OK && p < count; p++) {
    FsPartitionRecord partition;
    result = ReadPartitionRecord(reader, &partition);
    if (result != FWL_OK) {
      RefusalSet(u"the file-system stream's partition record %u is cut short or has no volume name", p + 1);
      return result;
    }
    PartitionCheck check = {};
    result = CheckPartition(partition, p, target, &sectorsLeft, &check);
    if (result == FWL_OK) result = CheckPartitionFiles(reader, &check, plan);
    FsPathSetFree(&check.made);
    plan->partitions++;
  }
  // Whatever the last partition did not take is a record of no volume, or
  // one cut short: the restore would drop it without a word. Only the zero
  // bytes that make the chunk whole words may follow.
  if (result == FWL_OK && (Position() > reader.end || reader.end - Position() >= FLETCHER_PIECE_ALIGN)) {
    RefusalSet(u"the file-system stream holds %u bytes that belong to no partition (a record outside its "
               u"volume, or one cut short)", Clamp32(reader.end - Position()));
    result = FWL_ERR_FILE_FORMAT;
  }
  return result;
}

}  // namespace

uint32_t CheckFileStream(const FsStreamHeader& header, const FsTarget& target, FsStreamPlan* plan) {
  size_t folder = TextLengthBounded(header.folder, FS_STREAM_FOLDER_CHARS);
  WCHAR given[FS_STREAM_FOLDER_CHARS + 1];
  TextCopyField(given, FS_STREAM_FOLDER_CHARS + 1, header.folder, FS_STREAM_FOLDER_CHARS);
  if (folder != 0 && TextCompareNoCase(given, target.folder) != 0) {
    RefusalSet(u"the file-system stream mounts its volumes under \\%s; this module mounts its flash disk under \\%s",
               given, target.folder);
    return FWL_ERR_FILE_FORMAT;
  }
  uint64_t start = Position();
  RecordReader reader = {start + header.dataLength};
  uint32_t result = SkipPreamble(reader) ? CheckPartitions(reader, header, target, plan) : FWL_ERR_FILE_FORMAT;
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
