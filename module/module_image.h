// The module's flash as its OS sees it, opened straight from flash.img for
// the tools and the factory: on the NOR board the bytes as they are; on a
// NAND board the logical flash through the chip and the block map, without
// the module's faults and timing (looking must not trip a fault or wait) and
// without starting the module's OS driver.
#pragma once

#include <string>

#include "module/flash_image.h"
#include "module/module_dir.h"
#include "module/module_flash.h"

struct NandModel;
struct NandOsFlash;

// Erase block the NOR image is handled in without the chips.
constexpr uint32_t kNorImageBlock = 0x40000;

struct ModuleImage {
  FlashImage nor;
  NandModel* nand = nullptr;  // the chip, for its physical pages
  NandOsFlash* nandFlash = nullptr;
  ModuleFlash flash;
};

// `flash` points into `image`, which must stay where it is while open.
bool ModuleImageOpen(const Module& module, ModuleImage* image, std::string* error);
// Harmless on an image never opened.
void ModuleImageClose(ModuleImage* image);

bool ModuleIsNand(const ModuleConfig& config);
// Bytes of flash the module's OS and the update program address: the NOR
// pair, or the NAND chip less its reserve. 0 for a chip no model knows.
uint32_t ModuleFlashBytes(const ModuleConfig& config);
// The board's flash settings name a chip its model knows.
bool ModuleFlashCheckConfig(const ModuleConfig& config, std::string* error);
