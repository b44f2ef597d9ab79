// The records of a file-level stream: after the one chunk header (the files
// preamble), for each partition a partition record and the file records of
// its volume, each file's contents right behind its record. All numbers
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/storage.h"
#include "platform/types.h"

constexpr uint32_t FS_FILES_PREAMBLE_BYTES = 12;
constexpr uint32_t FS_PARTITION_RECORD_BYTES = 296;
constexpr uint32_t FS_FILE_RECORD_BYTES = 560;
constexpr size_t FS_FILE_PATH_CHARS = 260;
constexpr size_t FS_VOLUME_NAME_CHARS = 64;

// The platform's partition record, whose size field carries the bytes the
// partition had in use at backup.
struct FsPartitionRecord {
  uint32_t usedBytes;
  PARTINFO info;  // cbSize as the platform wants it
  WCHAR volume[FS_VOLUME_NAME_CHARS + 1];
};

struct FsFileRecord {
  uint32_t attributes;
  FILETIME created;
  FILETIME accessed;
  FILETIME written;
  uint32_t sizeHigh;
  uint32_t sizeLow;  // content bytes that follow the record
  uint32_t objectId;
  WCHAR path[FS_FILE_PATH_CHARS];
};

// False when the volume name is empty or not terminated inside its field.
bool FsPartitionRecordDecode(const uint8_t (&bytes)[FS_PARTITION_RECORD_BYTES], FsPartitionRecord* record);
// False when the path is not terminated inside its field.
bool FsFileRecordDecode(const uint8_t (&bytes)[FS_FILE_RECORD_BYTES], FsFileRecord* record);

// Whether `path` lies in the volume `volume`: it is the volume's own folder,
// or continues with a separator.
bool FsPathInVolume(const WCHAR* path, const WCHAR* volume);
// A path that stays inside its volume: no empty, "." or ".." component.
bool FsPathIsPlain(const WCHAR* path);
