#include "storage/fs_stream_records.h"

#include <cstring>

#include "fwlib/bin_file_format.h"
#include "platform/text.h"

namespace {

void LoadUnits(const uint8_t* bytes, size_t count, WCHAR* units) {
  for (size_t i = 0; i < count; i++) units[i] = static_cast<WCHAR>(bytes[2 * i] | bytes[2 * i + 1] << 8);
}

FILETIME LoadFileTime(const uint8_t* bytes) { return FILETIME{LoadLe32(bytes), LoadLe32(bytes + 4)}; }

bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

}  // namespace

bool FsPartitionRecordDecode(const uint8_t (&bytes)[FS_PARTITION_RECORD_BYTES], FsPartitionRecord* record) {
  static_assert(sizeof(PARTINFO) == FS_PARTITION_RECORD_BYTES);
  std::memcpy(&record->info, bytes, sizeof record->info);
  record->usedBytes = LoadLe32(bytes);
  record->info.cbSize = PARTITION_INFO_BYTES;
  size_t length = TextLengthBounded(record->info.szVolumeName, FS_VOLUME_NAME_CHARS);
  if (length == 0 || length == FS_VOLUME_NAME_CHARS) return false;
  TextCopyField(record->volume, FS_VOLUME_NAME_CHARS + 1, record->info.szVolumeName, FS_VOLUME_NAME_CHARS);
  return true;
}

bool FsFileRecordDecode(const uint8_t (&bytes)[FS_FILE_RECORD_BYTES], FsFileRecord* record) {
  record->attributes = LoadLe32(bytes);
  record->created = LoadFileTime(bytes + 4);
  record->accessed = LoadFileTime(bytes + 12);
  record->written = LoadFileTime(bytes + 20);
  record->sizeHigh = LoadLe32(bytes + 28);
  record->sizeLow = LoadLe32(bytes + 32);
  record->objectId = LoadLe32(bytes + 36);
  LoadUnits(bytes + 40, FS_FILE_PATH_CHARS, record->path);
  return TextLengthBounded(record->path, FS_FILE_PATH_CHARS) < FS_FILE_PATH_CHARS;
}

bool FsPathInVolume(const WCHAR* path, const WCHAR* volume) {
  size_t length = TextLength(volume);
  for (size_t i = 0; i < length; i++) {
    if (path[i] != volume[i]) return false;
  }
  return path[length] == 0 || IsSeparator(path[length]);
}

bool FsPathIsPlain(const WCHAR* path) {
  const WCHAR* part = IsSeparator(*path) ? path + 1 : path;
  for (;;) {
    const WCHAR* end = part;
    while (*end != 0 && !IsSeparator(*end)) end++;
    size_t length = static_cast<size_t>(end - part);
    bool dots = (length == 1 && part[0] == u'.') || (length == 2 && part[0] == u'.' && part[1] == u'.');
    if (length == 0 || dots) return false;
    if (*end == 0) return true;
    part = end + 1;
  }
}
