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
