// The NAND chips a PXA3xx module can carry, by identification: what they
// answer to the read-identification command and how their array is laid out.
#pragma once

#include <cstdint>

constexpr uint32_t kNandPageBytes = 2048;
constexpr uint32_t kNandSpareBytes = 64;
constexpr uint32_t kNandPagesPerBlock = 64;
constexpr uint32_t kNandPageRecordBytes = kNandPageBytes + kNandSpareBytes;
constexpr uint32_t kNandBlockBytes = kNandPageBytes * kNandPagesPerBlock;
// Chip makers mark a factory bad block with a byte other than 0xFF at the
// start of the spare area of the block's first or second page.
constexpr uint32_t kNandBadMarkOffset = kNandPageBytes;

struct NandChipType {
  uint16_t id;           // maker code in bits 0-7, device code in bits 8-15
  uint8_t idBytes[5];    // what the chip answers to the identification command
  uint32_t blocks;       // over every chip select
  // Pages from this one on answer on the second chip select (two dies in one
  // package); 0 when the chip has one.
  uint32_t secondSelectPage;
  uint32_t rowCycles;    // address cycles of a page number (2 or 3)
  // What the module's OS driver puts in the controller's control register for
  // this chip (page size, pages per block, address cycles), low 12 bits aside.
  uint32_t controlBits;
};

// Null for an identification no supported chip answers with.
const NandChipType* NandChipTypeOf(uint32_t id);

inline uint32_t NandChipPages(const NandChipType* chip) { return chip->blocks * kNandPagesPerBlock; }
