// Block layout, write buffer and lock bit kind of one 16-bit chip of the NOR
// pair, by device code. Addresses here are the chip's own word addresses (bus
// byte offset / 4).
#pragma once

#include <cstdint>

// 128 KB main blocks, and the four 32 KB parameter blocks the boot-block
// families carry in the place of one main block, at the bottom or the top.
constexpr uint32_t kNorMainBlockWords = 0x10000;
constexpr uint32_t kNorParamBlockWords = 0x4000;
constexpr uint32_t kNorParamBlockCount = 4;
// The largest write buffer of any family, in words of one chip.
constexpr uint32_t kNorMaxBufferWords = 32;

struct NorGeometry {
  uint32_t deviceCode = 0;
  uint32_t chipBytes = 0;
  uint32_t chipWords = 0;
  uint32_t paramBlocks = 0;     // 0 on a chip of main blocks only
  uint32_t paramFirstWord = 0;  // 0 on a bottom-boot chip, the last main block's place on a top-boot one
  uint32_t blockCount = 0;
  uint32_t bufferWords = 0;     // write buffer of one chip
  bool nonVolatileLocks = false;
};

struct NorBlock {
  uint32_t index;
  uint32_t firstWord;
  uint32_t words;
};

// False for a device code no chip answers with.
bool NorGeometryFor(uint32_t deviceCode, NorGeometry* geometry);

// The block holding `word`, which must be below chipWords.
NorBlock NorBlockAt(const NorGeometry& geometry, uint32_t word);
NorBlock NorBlockByIndex(const NorGeometry& geometry, uint32_t index);

// Erase block in bus bytes (both chips) at bus byte offset `offset`.
inline uint32_t NorBusBlockBytes(const NorGeometry& geometry, uint32_t offset) {
  return NorBlockAt(geometry, offset / 4).words * 4;
}
inline uint32_t NorBusBlockStart(const NorGeometry& geometry, uint32_t offset) {
  return NorBlockAt(geometry, offset / 4).firstWord * 4;
}
