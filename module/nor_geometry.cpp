#include "module/nor_geometry.h"

#include "module/nor_chips.h"

namespace {

struct DeviceRange {
  uint16_t first;
  uint16_t last;
};

// The two families with parameter blocks; their 256 Mbit parts carry a
// different prefix, hence ranges rather than single codes.
constexpr DeviceRange kParamFamilies[] = {{0x881A, 0x891C}, {0x8820, 0x8922}};
// The oldest family has the small 32-byte buffer.
constexpr DeviceRange kSmallBufferFamily = {0x0017, 0x0019};
constexpr uint32_t kSmallBufferWords = 16;

constexpr uint32_t kBytesPerWord = 2;

bool InRange(const DeviceRange& r, uint32_t code) { return code >= r.first && code <= r.last; }

}  // namespace

bool NorGeometryFor(uint32_t deviceCode, NorGeometry* geometry) {
  uint32_t bytes = NorChipBytes(deviceCode);
  // The smallest chip still has to hold the parameter blocks and one main block.
  if (bytes < 2 * kNorMainBlockWords * kBytesPerWord) return false;
  NorGeometry g;
  g.deviceCode = deviceCode;
  g.chipBytes = bytes;
  g.chipWords = bytes / kBytesPerWord;
  for (const DeviceRange& r : kParamFamilies) {
    if (InRange(r, deviceCode)) g.paramBlocks = kNorParamBlockCount;
  }
  uint32_t mainBlocks = g.chipWords / kNorMainBlockWords;
  // The parameter blocks take the place of the first main block.
  g.blockCount = g.paramBlocks == 0 ? mainBlocks : mainBlocks - 1 + g.paramBlocks;
  g.bufferWords = InRange(kSmallBufferFamily, deviceCode) ? kSmallBufferWords : kNorMaxBufferWords;
  *geometry = g;
  return true;
}

NorBlock NorBlockAt(const NorGeometry& g, uint32_t word) {
  if (g.paramBlocks != 0 && word < kNorMainBlockWords) {
    uint32_t index = word / kNorParamBlockWords;
    return NorBlock{index, index * kNorParamBlockWords, kNorParamBlockWords};
  }
  uint32_t main = word / kNorMainBlockWords;
  uint32_t index = g.paramBlocks == 0 ? main : main - 1 + g.paramBlocks;
  return NorBlock{index, main * kNorMainBlockWords, kNorMainBlockWords};
}

NorBlock NorBlockByIndex(const NorGeometry& g, uint32_t index) {
  if (index < g.paramBlocks) return NorBlock{index, index * kNorParamBlockWords, kNorParamBlockWords};
  uint32_t main = g.paramBlocks == 0 ? index : index - g.paramBlocks + 1;
  return NorBlock{index, main * kNorMainBlockWords, kNorMainBlockWords};
}
