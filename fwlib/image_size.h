// How large the image stored at a flash offset is: a ROM image of the
// module's OS format (at the offset or one boot sector further), or a
// compressed image with its length in a "COMP" header.
#pragma once

#include <cstdint>

// A ROM image found in flash.
struct RomImage {
  uint32_t imageAt;    // flash offset the image starts at
  uint32_t headerAt;   // flash offset of its ROM header
  uint32_t physFirst;  // first and last physical address of the image
  uint32_t physLast;
};

// Where a bootloader may keep its ROM image behind a boot sector.
constexpr uint32_t ROM_IMAGE_SHIFTED_OFFSET = 0x8000;

// Looks for a valid ROM image at `offset`, else at offset + 0x8000. Takes
// the flash lock around its reads.
bool RomImageLocate(uint32_t offset, RomImage* image);

// Size in bytes of the image at a flash offset, or 0 when none is there.
uint32_t FWLGetImageSize(uint32_t offset);
