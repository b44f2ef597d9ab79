#include "module/nor_geometry.h"

#include "module/nor_chips.h"

namespace {

constexpr uint32_t kBytesPerWord = 2;

// The main block whose place the parameter blocks take.
uint32_t ParamMain(const NorGeometry& g) { return g.paramFirstWord / kNorMainBlockWords; }

}  // namespace

bool NorGeometryFor(uint32_t deviceCode, NorGeometry* geometry) {
  const NorChipType* type = NorChipTypeOf(deviceCode);
  // The smallest chip still has to hold the parameter blocks and one main block.
  if (type == nullptr || type->bytes < 2 * kNorMainBlockWords * kBytesPerWord) return false;
  NorGeometry g;
  g.deviceCode = deviceCode;
  g.chipBytes = type->bytes;
  g.chipWords = type->bytes / kBytesPerWord;
  uint32_t mainBlocks = g.chipWords / kNorMainBlockWords;
  if (type->boot != NorBoot::Uniform) {
    g.paramBlocks = kNorParamBlockCount;
    g.paramFirstWord = type->boot == NorBoot::Bottom ? 0 : g.chipWords - kNorMainBlockWords;
  }
  g.blockCount = g.paramBlocks == 0 ? mainBlocks : mainBlocks - 1 + g.paramBlocks;
  g.bufferWords = type->bufferWords;
  g.nonVolatileLocks = type->lockBits == NorLockBits::NonVolatile;
  *geometry = g;
  return true;
}

// Blocks are numbered in address order, the parameter blocks among them.
NorBlock NorBlockAt(const NorGeometry& g, uint32_t word) {
  uint32_t main = word / kNorMainBlockWords;
  if (g.paramBlocks != 0 && main == ParamMain(g)) {
    uint32_t i = (word - g.paramFirstWord) / kNorParamBlockWords;
    return NorBlock{main + i, g.paramFirstWord + i * kNorParamBlockWords, kNorParamBlockWords};
  }
  uint32_t index = g.paramBlocks != 0 && main > ParamMain(g) ? main - 1 + g.paramBlocks : main;
  return NorBlock{index, main * kNorMainBlockWords, kNorMainBlockWords};
}

NorBlock NorBlockByIndex(const NorGeometry& g, uint32_t index) {
  uint32_t first = ParamMain(g);
  if (g.paramBlocks != 0 && index >= first && index < first + g.paramBlocks) {
    return NorBlock{index, g.paramFirstWord + (index - first) * kNorParamBlockWords, kNorParamBlockWords};
  }
  uint32_t main = g.paramBlocks != 0 && index > first ? index - g.paramBlocks + 1 : index;
  return NorBlock{index, main * kNorMainBlockWords, kNorMainBlockWords};
}
