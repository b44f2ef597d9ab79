// A NAND flash stand-in behind the program's operation table: pages of
// 2048 bytes, 128 KB blocks, every program call logged, a page programmed
// twice without an erase counted, and faults on request.
#pragma once

#include <cstdint>
#include <vector>

struct NandDouble {
  static constexpr uint32_t kPage = 2048;
  static constexpr uint32_t kBlock = 0x20000;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> programs;  // per page, since its block was erased
  std::vector<std::pair<uint32_t, uint32_t>> writes;  // offset, length
  uint32_t reads = 0;
  uint32_t doubleProgrammed = 0;
  uint32_t failWriteAt = UINT32_MAX;  // a Write covering this offset fails
  uint32_t flipReadAt = UINT32_MAX;   // a Read covering this offset returns one bit flipped
};

// Puts the double (of `bytes` bytes, erased) behind FlashOps and makes the
// flash type NAND; the previous table comes back with NandDoubleRemove.
NandDouble* NandDoubleInstall(uint32_t bytes);
void NandDoubleRemove();
