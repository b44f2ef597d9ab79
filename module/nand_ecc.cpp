#include "module/nand_ecc.h"

#include <bit>

namespace {

// The code holds an even and an odd parity for each of the 11 bits of a
// bit's address in the step (3 bits within the byte, 8 of the byte index):
// bit 2k covers the bits whose address bit k is 0, bit 2k+1 those where it is 1.
constexpr uint32_t kAddressBits = 11;
constexpr uint32_t kBitIndexBits = 3;
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kCodeBits = 2 * kAddressBits;
constexpr uint32_t kCodeMask = (1u << kCodeBits) - 1;
constexpr uint32_t kEvenBitsMask = 0x155555;  // bit 2k of each pair
constexpr uint32_t kStoredMask = 0xFFFFFF;
constexpr uint8_t kErasedByte = 0xFF;
constexpr uint32_t kByteMask = 0xFF;
// The bits of a byte whose bit index has bit k set.
constexpr uint32_t kOddColumns[kBitIndexBits] = {0xAA, 0xCC, 0xF0};
constexpr uint32_t kNoFix = ~0u;

uint32_t Parity(uint32_t value) { return std::popcount(value) & 1u; }

uint32_t Code(const uint8_t* step) {
  uint32_t all = 0;      // every byte XORed: parity of each bit position
  uint32_t oddRows = 0;  // XOR of the indices of the bytes with odd parity
  uint32_t total = 0;    // parity of the whole step
  for (uint32_t i = 0; i < kNandEccStepBytes; i++) {
    all ^= step[i];
    uint32_t p = Parity(step[i]);
    oddRows ^= p * i;
    total ^= p;
  }
  uint32_t code = 0;
  for (uint32_t k = 0; k < kBitIndexBits; k++) {
    uint32_t odd = Parity(all & kOddColumns[k]);
    uint32_t even = Parity(all & ~kOddColumns[k] & kByteMask);
    code |= even << (2 * k) | odd << (2 * k + 1);
  }
  for (uint32_t k = kBitIndexBits; k < kAddressBits; k++) {
    uint32_t odd = (oddRows >> (k - kBitIndexBits)) & 1u;
    code |= (total ^ odd) << (2 * k) | odd << (2 * k + 1);
  }
  return code;
}

uint32_t Load(const uint8_t code[kNandEccCodeBytes]) {
  uint32_t stored = uint32_t{code[0]} | uint32_t{code[1]} << 8 | uint32_t{code[2]} << 16;
  return ~stored & kCodeMask;
}

// `fix` is the address of the data bit to flip back, or kNoFix.
NandEccResult Check(const uint8_t* step, const uint8_t stored[kNandEccCodeBytes], uint32_t* fix) {
  *fix = kNoFix;
  uint32_t syndrome = Code(step) ^ Load(stored);
  if (syndrome == 0) return NandEccResult::Clean;
  // One flipped data bit upsets exactly one parity of every pair.
  if (((syndrome ^ (syndrome >> 1)) & kEvenBitsMask) == kEvenBitsMask) {
    *fix = 0;
    for (uint32_t k = 0; k < kAddressBits; k++) *fix |= ((syndrome >> (2 * k + 1)) & 1u) << k;
    return NandEccResult::Corrected;
  }
  // A flipped bit of the code itself leaves the data right.
  if (std::popcount(syndrome) == 1) return NandEccResult::Corrected;
  return NandEccResult::Uncorrectable;
}

}  // namespace

void NandEccStep(const uint8_t* step, uint8_t code[kNandEccCodeBytes]) {
  uint32_t stored = ~Code(step) & kStoredMask;
  code[0] = static_cast<uint8_t>(stored);
  code[1] = static_cast<uint8_t>(stored >> 8);
  code[2] = static_cast<uint8_t>(stored >> 16);
}

void NandEccPage(const uint8_t* page, uint8_t codes[kNandEccPageCodeBytes]) {
  for (uint32_t s = 0; s < kNandEccSteps; s++) NandEccStep(page + s * kNandEccStepBytes, codes + s * kNandEccCodeBytes);
}

NandEccResult NandEccCorrectPage(uint8_t* page, const uint8_t codes[kNandEccPageCodeBytes]) {
  bool written = false;
  for (uint32_t i = 0; i < kNandEccPageCodeBytes; i++) written = written || codes[i] != kErasedByte;
  if (!written) return NandEccResult::Clean;
  NandEccResult worst = NandEccResult::Clean;
  uint32_t fixes[kNandEccSteps];
  for (uint32_t s = 0; s < kNandEccSteps; s++) {
    NandEccResult r = Check(page + s * kNandEccStepBytes, codes + s * kNandEccCodeBytes, &fixes[s]);
    if (r > worst) worst = r;
  }
  // A page with an uncorrectable step goes out wholly as read.
  if (worst == NandEccResult::Uncorrectable) return worst;
  for (uint32_t s = 0; s < kNandEccSteps; s++) {
    if (fixes[s] == kNoFix) continue;
    uint8_t& byte = page[s * kNandEccStepBytes + (fixes[s] >> kBitIndexBits)];
    byte ^= static_cast<uint8_t>(1u << (fixes[s] & (kBitsPerByte - 1)));
  }
  return worst;
}
