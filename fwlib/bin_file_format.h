// The image file container: a BIN part (signature, image start and length,
// records, end record), then optionally a file-system stream (its layout in
// storage/fs_stream_header.h) and a CPLD section. All numbers little-endian
// and unaligned in the file.
#pragma once

#include <cstdint>
#include <cstring>

// BIN part header: "B000FF\n", image start, image length.
constexpr uint8_t BIN_SIGNATURE[] = {'B', '0', '0', '0', 'F', 'F', '\n'};
constexpr uint32_t BIN_SIGNATURE_BYTES = sizeof BIN_SIGNATURE;
constexpr uint32_t BIN_IMAGE_START_OFFSET = 7;
constexpr uint32_t BIN_IMAGE_LENGTH_OFFSET = 11;
constexpr uint32_t BIN_HEADER_BYTES = 15;

// Record header: address, length, byte sum of the data. The end record has
// address 0 and checksum 0; its length field carries the entry point.
constexpr uint32_t BIN_RECORD_HEADER_BYTES = 12;
constexpr uint32_t BIN_RECORD_ADDRESS_OFFSET = 0;
constexpr uint32_t BIN_RECORD_LENGTH_OFFSET = 4;
constexpr uint32_t BIN_RECORD_CHECKSUM_OFFSET = 8;
// The entry point this program writes into the end records it makes.
constexpr uint32_t BIN_END_RECORD_ENTRY = 0xBCA01000;

// A stream of the older format, which this program cannot read.
constexpr uint32_t FS_STREAM_OLD_MAGIC = 0x46465348;  // "HSFF"
// Header fields the validation reads (byte offsets).
constexpr uint32_t FS_STREAM_VERSION_OFFSET = 4;
constexpr uint32_t FS_STREAM_HEADER_SIZE_OFFSET = 8;
constexpr uint32_t FS_STREAM_MEM_BASE_OFFSET = 16;
constexpr uint32_t FS_STREAM_MEM_LEN_OFFSET = 20;
constexpr uint32_t FS_STREAM_DATA_LENGTH_OFFSET = 24;

// CPLD section header: magic, mode, header size, data length, the XSVF
// stream's own length (as this program's builder records it; others leave
// the word to chance), Fletcher sum of the data. A longer header keeps the
// sum in its last word.
constexpr uint32_t CPLD_SECTION_MAGIC = 0x54584358;  // "XCXT"
constexpr uint32_t CPLD_SECTION_HEADER_BYTES = 24;
constexpr uint32_t CPLD_MODE_OFFSET = 4;
constexpr uint32_t CPLD_HEADER_SIZE_OFFSET = 8;
constexpr uint32_t CPLD_DATA_LENGTH_OFFSET = 12;
constexpr uint32_t CPLD_STREAM_LENGTH_OFFSET = 16;
constexpr uint32_t CPLD_CHECKSUM_OFFSET = 20;
constexpr uint32_t CPLD_MODE_MAX = 3;

constexpr uint32_t CHECKSUM_WORD_BYTES = 4;

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline bool IsBinSignature(const uint8_t* p) { return std::memcmp(p, BIN_SIGNATURE, BIN_SIGNATURE_BYTES) == 0; }
