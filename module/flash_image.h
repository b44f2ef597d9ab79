// flash.img mapped shared into the process: writes reach the file at once and
// every other process on the module sees them.
#pragma once

#include <string>

#include "module/module_flash.h"

struct FlashImage {
  RawFlash raw;
  size_t mappedBytes = 0;
};

// Maps the whole image; `blockSize` is the erase block the image is handled in.
bool FlashImageOpen(const std::string& path, uint32_t blockSize, FlashImage* image, std::string* error);
void FlashImageClose(FlashImage* image);

// Counts every later program and erase through `image` (and through the chips
// that keep their cells in it) in the module's count of cell changes under
// `shmDir`, which every process working on this flash.img counts in.
bool FlashImageCountChanges(FlashImage* image, const std::string& shmDir, std::string* error);
