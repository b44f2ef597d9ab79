#include "module/nor_cfi.h"

#include <cstring>

#include "module/nor_timing.h"

namespace {

// Query addresses (word addresses of a x16 chip).
constexpr uint32_t kCfiQry = 0x10;
constexpr uint32_t kCfiPrimaryCommandSet = 0x13;
constexpr uint32_t kCfiPrimaryTable = 0x15;
constexpr uint32_t kCfiVccMin = 0x1B;
constexpr uint32_t kCfiVccMax = 0x1C;
constexpr uint32_t kCfiTypWordProgram = 0x1F;
constexpr uint32_t kCfiTypBufferProgram = 0x20;
constexpr uint32_t kCfiTypBlockErase = 0x21;
constexpr uint32_t kCfiMaxWordProgram = 0x23;
constexpr uint32_t kCfiMaxBufferProgram = 0x24;
constexpr uint32_t kCfiMaxBlockErase = 0x25;
constexpr uint32_t kCfiDeviceSize = 0x27;
constexpr uint32_t kCfiInterface = 0x28;
constexpr uint32_t kCfiBufferSize = 0x2A;
constexpr uint32_t kCfiRegionCount = 0x2C;
constexpr uint32_t kCfiRegions = 0x2D;
constexpr uint32_t kCfiRegionWords = 4;

constexpr uint16_t kCommandSetIntelExtended = 0x0001;
constexpr uint16_t kInterfaceX16 = 0x0001;
constexpr uint16_t kVcc2V7 = 0x27;  // BCD volts
constexpr uint16_t kVcc3V6 = 0x36;
constexpr uint32_t kRegionUnitBytes = 256;

// Primary extended table: "PRI", version 1.1, feature bits.
constexpr uint16_t kPriVersionMajor = '1';
constexpr uint16_t kPriVersionMinor = '1';
constexpr uint16_t kPriIndividualBlockLocking = 1 << 5;
constexpr uint16_t kPriBlockStatusLockBit = 1 << 0;
constexpr uint16_t kPriVccOptimum = 0x33;  // 3.3 V

uint16_t Log2Ceil(uint32_t value) {
  uint16_t n = 0;
  while ((uint32_t{1} << n) < value) n++;
  return n;
}

void Put16(uint16_t* table, uint32_t at, uint32_t value) {
  table[at] = value & 0xFF;
  table[at + 1] = (value >> 8) & 0xFF;
}

}  // namespace

void NorCfiBuild(const NorGeometry& g, uint16_t* table) {
  std::memset(table, 0, kNorCfiWords * sizeof(uint16_t));
  table[kCfiQry] = 'Q';
  table[kCfiQry + 1] = 'R';
  table[kCfiQry + 2] = 'Y';
  Put16(table, kCfiPrimaryCommandSet, kCommandSetIntelExtended);
  table[kCfiVccMin] = kVcc2V7;
  table[kCfiVccMax] = kVcc3V6;
  table[kCfiTypWordProgram] = Log2Ceil(kNorWordProgramUs);
  table[kCfiTypBufferProgram] = Log2Ceil(kNorBufferProgramUs);
  table[kCfiTypBlockErase] = Log2Ceil(kNorMainBlockEraseUs / 1000);
  table[kCfiMaxWordProgram] = kNorMaxProgramFactorLog2;
  table[kCfiMaxBufferProgram] = kNorMaxProgramFactorLog2;
  table[kCfiMaxBlockErase] = kNorMaxEraseFactorLog2;
  table[kCfiDeviceSize] = Log2Ceil(g.chipBytes);
  Put16(table, kCfiInterface, kInterfaceX16);
  Put16(table, kCfiBufferSize, Log2Ceil(g.bufferWords * 2));

  uint32_t at = kCfiRegions;
  uint32_t regions = 0;
  auto region = [&](uint32_t blocks, uint32_t blockWords) {
    Put16(table, at, blocks - 1);
    Put16(table, at + 2, blockWords * 2 / kRegionUnitBytes);
    at += kCfiRegionWords;
    regions++;
  };
  // Regions go up from address 0, so a top-boot chip lists its parameter blocks last.
  uint32_t mainBelow = g.paramFirstWord / kNorMainBlockWords;
  uint32_t mainAbove = g.blockCount - g.paramBlocks - mainBelow;
  if (mainBelow != 0) region(mainBelow, kNorMainBlockWords);
  if (g.paramBlocks != 0) region(g.paramBlocks, kNorParamBlockWords);
  if (mainAbove != 0) region(mainAbove, kNorMainBlockWords);
  table[kCfiRegionCount] = regions;

  // The extended table follows the region list, wherever that ends.
  Put16(table, kCfiPrimaryTable, at);
  table[at++] = 'P';
  table[at++] = 'R';
  table[at++] = 'I';
  table[at++] = kPriVersionMajor;
  table[at++] = kPriVersionMinor;
  table[at] = kPriIndividualBlockLocking;  // optional features, 4 bytes
  at += 4;
  at++;  // functions after suspend: none
  Put16(table, at, kPriBlockStatusLockBit);
  at += 2;
  table[at++] = kPriVccOptimum;
  table[at] = 0;  // no VPP
}
