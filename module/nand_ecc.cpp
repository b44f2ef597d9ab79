#include "module/nand_ecc.h"

#include <algorithm>
#include <bit>

namespace {

// The code holds an even and an odd parity for each of the 11 bits of a
// bit's address in the half (3 bits within the byte, 8 of the byte index):
// bit 2k covers the bits whose address bit k is 0, bit 2k+1 those where it is 1.
// Bits 22-23 are stored as 1 and compared like the others.
constexpr uint32_t kAddressBits = 11;
constexpr uint32_t kBitIndexBits = 3;
constexpr uint32_t kBitsPerByte = 8;
constexpr uint32_t kParityBits = 2 * kAddressBits;
constexpr uint32_t kEvenBitsMask = 0x155555;  // bit 2k of each pair
constexpr uint32_t kStoredMask = 0xFFFFFF;
constexpr uint32_t kUnusedBits = kStoredMask & ~((1u << kParityBits) - 1);
constexpr uint8_t kErasedByte = 0xFF;
constexpr uint32_t kByteMask = 0xFF;
// The bits of a byte whose bit index has bit k set.
constexpr uint32_t kOddColumns[kBitIndexBits] = {0xAA, 0xCC, 0xF0};
constexpr uint32_t kNoFix = ~0u;
// The stored byte that carries the unused bits, and where they sit in it.
constexpr uint32_t kTopCodeByte = 2;
constexpr uint8_t kTopByteUnused = 0xC0;

uint32_t Parity(uint32_t value) { return std::popcount(value) & 1u; }

uint32_t Code(const uint8_t* half) {
  uint32_t all = 0;      // every byte XORed: parity of each bit position
  uint32_t oddRows = 0;  // XOR of the indices of the bytes with odd parity
  uint32_t total = 0;    // parity of the whole half
  for (uint32_t i = 0; i < kNandEccHalfBytes; i++) {
    all ^= half[i];
    uint32_t p = Parity(half[i]);
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
  return ~stored & kStoredMask;
}

void Store(uint32_t code, uint8_t out[kNandEccCodeBytes]) {
  uint32_t stored = ~code & kStoredMask;
  for (uint32_t i = 0; i < kNandEccCodeBytes; i++) out[i] = static_cast<uint8_t>(stored >> (kBitsPerByte * i));
}

// Errors in one half: 0, 1 (`fix` the data bit to flip back, or kNoFix for
// a flipped code bit), or 2 for anything more.
uint32_t HalfErrors(const uint8_t* half, const uint8_t stored[kNandEccCodeBytes], uint32_t* fix) {
  *fix = kNoFix;
  uint32_t syndrome = Code(half) ^ Load(stored);
  if (syndrome == 0) return 0;
  // A flipped bit of the code itself leaves the data right.
  if (std::popcount(syndrome) == 1) return 1;
  // One flipped data bit upsets exactly one parity of every pair.
  if ((syndrome & kUnusedBits) == 0 && ((syndrome ^ (syndrome >> 1)) & kEvenBitsMask) == kEvenBitsMask) {
    *fix = 0;
    for (uint32_t k = 0; k < kAddressBits; k++) *fix |= ((syndrome >> (2 * k + 1)) & 1u) << k;
    return 1;
  }
  return 2;
}

void FlipBack(uint8_t* half, uint32_t fix) {
  if (fix == kNoFix) return;
  half[fix >> 3] ^= static_cast<uint8_t>(1u << (fix & (kBitsPerByte - 1)));
}

// The step's verdict; `fixes` gets the data bit of each half to flip back.
NandEccResult CheckStep(const uint8_t* step, const uint8_t code[kNandEccStepCodeBytes], uint32_t fixes[2]) {
  uint32_t errors = HalfErrors(step, code, &fixes[0]) +
                    HalfErrors(step + kNandEccHalfBytes, code + kNandEccCodeBytes, &fixes[1]);
  if (errors == 0) return NandEccResult::Clean;
  return errors == 1 ? NandEccResult::Corrected : NandEccResult::Uncorrectable;
}

void Repair(uint8_t* step, const uint32_t fixes[2]) {
  FlipBack(step, fixes[0]);
  FlipBack(step + kNandEccHalfBytes, fixes[1]);
}

}  // namespace

void NandEccStep(const uint8_t* step, uint8_t code[kNandEccStepCodeBytes]) {
  Store(Code(step), code);
  Store(Code(step + kNandEccHalfBytes), code + kNandEccCodeBytes);
}

void NandEccPage(const uint8_t* page, uint8_t codes[kNandEccPageCodeBytes]) {
  for (uint32_t s = 0; s < kNandEccSteps; s++) {
    NandEccStep(page + s * kNandEccStepBytes, codes + s * kNandEccStepCodeBytes);
  }
}

NandEccResult NandEccCorrectStep(uint8_t* step, const uint8_t code[kNandEccStepCodeBytes]) {
  uint32_t fixes[2];
  NandEccResult r = CheckStep(step, code, fixes);
  if (r == NandEccResult::Corrected) Repair(step, fixes);
  return r;
}

NandEccResult NandEccCorrectPage(uint8_t* page, const uint8_t codes[kNandEccPageCodeBytes]) {
  if (NandEccCodesErased(codes)) return NandEccResult::Uncorrectable;
  NandEccResult worst = NandEccResult::Clean;
  uint32_t fixes[kNandEccSteps][2];
  for (uint32_t s = 0; s < kNandEccSteps; s++) {
    worst = std::max(worst, CheckStep(page + s * kNandEccStepBytes, codes + s * kNandEccStepCodeBytes, fixes[s]));
  }
  if (worst == NandEccResult::Uncorrectable) return worst;
  for (uint32_t s = 0; s < kNandEccSteps; s++) Repair(page + s * kNandEccStepBytes, fixes[s]);
  return worst;
}

bool NandEccCodesErased(const uint8_t codes[kNandEccPageCodeBytes]) {
  return std::all_of(codes, codes + kNandEccPageCodeBytes, [](uint8_t b) { return b == kErasedByte; });
}

// Both halves' unused bits clear: no flipped bit makes that of a genuine code.
bool NandEccStepVoided(const uint8_t code[kNandEccStepCodeBytes]) {
  return (code[kTopCodeByte] & kTopByteUnused) == 0 && (code[kNandEccCodeBytes + kTopCodeByte] & kTopByteUnused) == 0;
}

bool NandEccBlank(const uint8_t* data, uint32_t bytes, uint32_t* flips) {
  *flips = 0;
  for (uint32_t at = 0; at < bytes; at += kNandEccStepBytes) {
    uint32_t cleared = 0;
    for (uint32_t i = at; i < std::min(bytes, at + kNandEccStepBytes); i++) cleared += std::popcount(uint8_t(~data[i]));
    if (cleared > 1) return false;
    *flips += cleared;
  }
  return true;
}
