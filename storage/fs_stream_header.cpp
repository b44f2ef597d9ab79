#include "storage/fs_stream_header.h"

#include "fwlib/bin_file_format.h"
#include "fwlib/file_writes.h"

namespace {

// The header's 32-bit fields and where the file holds them.
struct WordField {
  size_t at;
  uint32_t FsStreamHeader::*field;
};
constexpr WordField kWords[] = {
    {offsetof(FsStreamHeader, magic), &FsStreamHeader::magic},
    {offsetof(FsStreamHeader, version), &FsStreamHeader::version},
    {offsetof(FsStreamHeader, headerSize), &FsStreamHeader::headerSize},
    {offsetof(FsStreamHeader, type), &FsStreamHeader::type},
    {offsetof(FsStreamHeader, memBase), &FsStreamHeader::memBase},
    {offsetof(FsStreamHeader, memLen), &FsStreamHeader::memLen},
    {offsetof(FsStreamHeader, dataLength), &FsStreamHeader::dataLength},
    {offsetof(FsStreamHeader, sectorSize), &FsStreamHeader::sectorSize},
    {offsetof(FsStreamHeader, blockSize), &FsStreamHeader::blockSize},
    {offsetof(FsStreamHeader, flags), &FsStreamHeader::flags},
    {offsetof(FsStreamHeader, checksum), &FsStreamHeader::checksum},
};

}  // namespace

void FsStreamHeaderEncode(const FsStreamHeader& header, uint8_t (&bytes)[FS_STREAM_HEADER_BYTES]) {
  for (const WordField& word : kWords) StoreLe32(bytes + word.at, header.*word.field);
  uint8_t* folder = bytes + offsetof(FsStreamHeader, folder);
  for (size_t i = 0; i < FS_STREAM_FOLDER_CHARS; i++) {
    folder[2 * i] = static_cast<uint8_t>(header.folder[i]);
    folder[2 * i + 1] = static_cast<uint8_t>(header.folder[i] >> 8);
  }
  std::memcpy(bytes + offsetof(FsStreamHeader, storeInfo), header.storeInfo, sizeof header.storeInfo);
}

void FsStreamHeaderDecode(const uint8_t* bytes, FsStreamHeader* header) {
  for (const WordField& word : kWords) header->*word.field = LoadLe32(bytes + word.at);
  const uint8_t* folder = bytes + offsetof(FsStreamHeader, folder);
  for (size_t i = 0; i < FS_STREAM_FOLDER_CHARS; i++) {
    header->folder[i] = static_cast<WCHAR>(folder[2 * i] | folder[2 * i + 1] << 8);
  }
  std::memcpy(header->storeInfo, bytes + offsetof(FsStreamHeader, storeInfo), sizeof header->storeInfo);
}
