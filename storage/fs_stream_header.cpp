#include "storage/fs_stream_header.h"

#include "fwlib/file_writes.h"

void FsStreamHeaderEncode(const FsStreamHeader& header, uint8_t (&bytes)[FS_STREAM_HEADER_BYTES]) {
  const struct {
    size_t at;
    uint32_t value;
  } words[] = {
      {offsetof(FsStreamHeader, magic), header.magic},
      {offsetof(FsStreamHeader, version), header.version},
      {offsetof(FsStreamHeader, headerSize), header.headerSize},
      {offsetof(FsStreamHeader, type), header.type},
      {offsetof(FsStreamHeader, memBase), header.memBase},
      {offsetof(FsStreamHeader, memLen), header.memLen},
      {offsetof(FsStreamHeader, dataLength), header.dataLength},
      {offsetof(FsStreamHeader, sectorSize), header.sectorSize},
      {offsetof(FsStreamHeader, blockSize), header.blockSize},
      {offsetof(FsStreamHeader, flags), header.flags},
      {offsetof(FsStreamHeader, checksum), header.checksum},
  };
  for (const auto& word : words) StoreLe32(bytes + word.at, word.value);
  uint8_t* folder = bytes + offsetof(FsStreamHeader, folder);
  for (size_t i = 0; i < FS_STREAM_FOLDER_CHARS; i++) {
    folder[2 * i] = static_cast<uint8_t>(header.folder[i]);
    folder[2 * i + 1] = static_cast<uint8_t>(header.folder[i] >> 8);
  }
  std::memcpy(bytes + offsetof(FsStreamHeader, storeInfo), header.storeInfo, sizeof header.storeInfo);
}
