// The controller's error correction code: a Hamming code of 3 bytes over
// each 256-byte step of a page, which repairs one flipped bit per step and
// tells two apart from one. The eight codes of a 2048-byte page sit in spare
// bytes 40-63.
#pragma once

#include <cstdint>

#include "module/nand_chips.h"

constexpr uint32_t kNandEccStepBytes = 256;
constexpr uint32_t kNandEccCodeBytes = 3;
constexpr uint32_t kNandEccSteps = kNandPageBytes / kNandEccStepBytes;
constexpr uint32_t kNandEccPageCodeBytes = kNandEccSteps * kNandEccCodeBytes;
// Where the codes sit in the spare area: the bytes a transfer with
// correction on leaves out.
constexpr uint32_t kNandEccCodeOffset = kNandSpareBytes - kNandEccPageCodeBytes;

enum class NandEccResult : uint8_t { Clean, Corrected, Uncorrectable };

// The code is stored inverted, so an erased step (all 0xFF) has the code
// 0xFF 0xFF 0xFF and an erased page reads as correct.
void NandEccStep(const uint8_t* step, uint8_t code[kNandEccCodeBytes]);
void NandEccPage(const uint8_t* page, uint8_t codes[kNandEccPageCodeBytes]);

// Checks a page against its codes and repairs what can be repaired in place.
// A page whose codes are all 0xFF was written without correction: Clean,
// nothing checked. Uncorrectable leaves the data as read.
NandEccResult NandEccCorrectPage(uint8_t* page, const uint8_t codes[kNandEccPageCodeBytes]);
