// The library's one running checksum over image data: the byte sum of BIN
// records, or the block-folded Fletcher sum of file-system streams and CPLD
// sections. Data is fed in pieces; the kind is chosen before use.
#pragma once

#include <cstdint>

enum class ChecksumKind : uint32_t {
  ByteSum,   // sum of the bytes as unsigned 8-bit values, modulo 2^32
  Fletcher,  // over 16-bit little-endian words, folded every 360 bytes
};

// The Fletcher sum takes whole 32-bit words per piece, in blocks of this many
// bytes that run on across pieces.
constexpr uint32_t FLETCHER_PIECE_ALIGN = 4;
constexpr uint32_t FLETCHER_BLOCK_BYTES = 360;
// The sum of no data.
constexpr uint32_t FLETCHER_EMPTY = 0xFFFFFFFF;

// Selects a kind and starts it afresh.
void ChecksumSelect(ChecksumKind kind);
// Starts the selected kind afresh.
void ChecksumReset();
// Adds a piece. A Fletcher piece whose length is not a multiple of 4 is
// ignored and false returned; everything else is taken.
bool ChecksumFeed(const uint8_t* data, uint32_t length);
// The sum so far. For the Fletcher sum this finishes it: asking again gives
// the same value, and later pieces are not counted.
uint32_t ChecksumResult();
// Bytes taken since the last reset.
uint32_t ChecksumByteCount();

// Byte sum kind, empty.
void ChecksumResetForTests();
