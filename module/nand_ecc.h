// The controller's error correction code: a Hamming code of 3 bytes over
// each 256-byte half of a 512-byte step. The controller repairs one flipped
// bit per step (data or code) and reports anything more as uncorrectable.
// The four codes of a 2048-byte page (6 bytes a step) sit in spare bytes
// 40-63.
#pragma once

#include <cstdint>

#include "module/nand_chips.h"

constexpr uint32_t kNandEccHalfBytes = 256;  // what one 3-byte code covers
constexpr uint32_t kNandEccCodeBytes = 3;
constexpr uint32_t kNandEccStepBytes = 2 * kNandEccHalfBytes;  // one bit repaired in each
constexpr uint32_t kNandEccStepCodeBytes = 2 * kNandEccCodeBytes;
constexpr uint32_t kNandEccSteps = kNandPageBytes / kNandEccStepBytes;
constexpr uint32_t kNandEccPageCodeBytes = kNandEccSteps * kNandEccStepCodeBytes;
// Where the codes sit in the spare area: the bytes a transfer with
// correction on leaves out.
constexpr uint32_t kNandEccCodeOffset = kNandSpareBytes - kNandEccPageCodeBytes;
// What the module's OS driver programs over a step's code when it programs
// the step again: a code can only lose bits, so the old one cannot become
// the new one. No genuine code has its top two bits clear.
constexpr uint8_t kNandEccVoidByte = 0x00;

enum class NandEccResult : uint8_t { Clean, Corrected, Uncorrectable };

// The code is stored inverted; a half of 0xFF bytes (or of 0x00 bytes) has
// the code 0xFF 0xFF 0xFF.
void NandEccStep(const uint8_t* step, uint8_t code[kNandEccStepCodeBytes]);
void NandEccPage(const uint8_t* page, uint8_t codes[kNandEccPageCodeBytes]);

// Checks one step against its code as the controller does (all 24 bits of
// each half's code) and repairs a single flipped data bit in place.
// Uncorrectable leaves the data as read.
NandEccResult NandEccCorrectStep(uint8_t* step, const uint8_t code[kNandEccStepCodeBytes]);

// The controller's check of a page. A page whose code bytes are all 0xFF
// (erased, or programmed without correction) is uncorrectable: the code the
// controller computes never matches erased code bytes. A page with an
// uncorrectable step goes out wholly as read.
NandEccResult NandEccCorrectPage(uint8_t* page, const uint8_t codes[kNandEccPageCodeBytes]);

// Whether every code byte of the page is erased.
bool NandEccCodesErased(const uint8_t codes[kNandEccPageCodeBytes]);
// Whether a step's code was voided by a second program.
bool NandEccStepVoided(const uint8_t code[kNandEccStepCodeBytes]);
// Whether `data` reads as erased but for at most one cleared bit in each
// step (what the code could repair); `flips` gets the cleared bits.
bool NandEccBlank(const uint8_t* data, uint32_t bytes, uint32_t* flips);
