// The update program's reading of images in flash, written here from its own
// rule rather than taken from the library under test.
#pragma once

#include <cstdint>
#include <span>

// A Windows CE ROM image at `a`: "ECEC" at +0x40 followed by the ROM header's
// address and offset; the header's first and last physical address in
// [0x80000000, 0x90000000); valid when the header address minus its offset is
// the first physical address, or when first < last and the RAM start, RAM free
// and RAM end words increase strictly. `size` gets last - first.
bool RuleRomImageValid(std::span<const uint8_t> flash, uint32_t a, uint32_t* size);

// The image size at `a`: a ROM image there, or 0x8000 in (size + 0x8000), or
// a "COMP" record (its word 2 + 20), else 0.
uint32_t RuleImageSize(std::span<const uint8_t> flash, uint32_t a);
