// The header of a file-system stream inside an image file, and the chunk
// header of its data area. Both are stored in files, so their layout is fixed
// byte for byte, little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/storage.h"
#include "platform/types.h"

constexpr uint32_t FS_STREAM_MAGIC = 0x54585348;  // the bytes "HSXT"
constexpr uint32_t FS_STREAM_VERSION = 1;
constexpr uint32_t FS_STREAM_HEADER_BYTES = 348;

// Stream types: partitions with their files, or runs of logical sectors.
constexpr uint32_t FS_STREAM_FILES = 2;
constexpr uint32_t FS_STREAM_SECTORS = 3;

// A geometry field whose driver value was not known at backup.
constexpr uint32_t FS_STREAM_VALUE_UNKNOWN = 0xFFFFFFFF;

// The storage profile's "FormatTfat" was non-zero at backup.
constexpr uint32_t FS_STREAM_FLAG_FORMAT_TFAT = 0x1;

// Units of the folder field (64 bytes, zero-filled after the text).
constexpr size_t FS_STREAM_FOLDER_CHARS = 32;

struct FsStreamHeader {
  uint32_t magic;
  uint32_t version;
  uint32_t headerSize;
  uint32_t type;
  uint32_t memBase;
  uint32_t memLen;
  uint32_t dataLength;  // bytes after the header: chunk headers and chunk data
  uint32_t sectorSize;
  uint32_t blockSize;
  uint32_t flags;
  WCHAR folder[FS_STREAM_FOLDER_CHARS];  // zero-filled after the text
  // The store's information record at backup. Kept as bytes: the record
  // wants 8-byte alignment, which would pad this header past its stored size.
  BYTE storeInfo[STORE_INFO_BYTES];
  uint32_t checksum;  // over the bytes before it
};
static_assert(sizeof(FsStreamHeader) == FS_STREAM_HEADER_BYTES);
static_assert(offsetof(FsStreamHeader, type) == 12);
static_assert(offsetof(FsStreamHeader, memBase) == 16);
static_assert(offsetof(FsStreamHeader, memLen) == 20);
static_assert(offsetof(FsStreamHeader, dataLength) == 24);
static_assert(offsetof(FsStreamHeader, sectorSize) == 28);
static_assert(offsetof(FsStreamHeader, blockSize) == 32);
static_assert(offsetof(FsStreamHeader, flags) == 36);
static_assert(offsetof(FsStreamHeader, folder) == 40);
static_assert(offsetof(FsStreamHeader, storeInfo) == 104);
static_assert(offsetof(FsStreamHeader, checksum) == 344);

// Bytes of the header the checksum covers.
constexpr uint32_t FS_STREAM_HEADER_CHECKED_BYTES = offsetof(FsStreamHeader, checksum);

// The header's bytes as files hold them: numbers and text units
// little-endian; the store's record is carried as the platform gave it.
void FsStreamHeaderEncode(const FsStreamHeader& header, uint8_t (&bytes)[FS_STREAM_HEADER_BYTES]);

// The fixed part of a header as files hold it (a longer header keeps its
// checksum in its last word, which callers read themselves).
void FsStreamHeaderDecode(const uint8_t* bytes, FsStreamHeader* header);

inline STOREINFO FsStreamStoreInfo(const FsStreamHeader& header) {
  STOREINFO info;
  std::memcpy(&info, header.storeInfo, sizeof info);
  return info;
}

inline void FsStreamSetStoreInfo(FsStreamHeader* header, const STOREINFO& info) {
  std::memcpy(header->storeInfo, &info, sizeof info);
}

// Each chunk of the data area: for sector runs the first logical sector, for
// the files chunk the header's memBase; then the data length and its sum.
struct FsChunkHeader {
  uint32_t tag;
  uint32_t length;
  uint32_t checksum;
};
constexpr uint32_t FS_CHUNK_HEADER_BYTES = 12;
static_assert(sizeof(FsChunkHeader) == FS_CHUNK_HEADER_BYTES);
