#include "module/module_image.h"

#include "module/nand_block_map.h"
#include "module/nand_model.h"
#include "module/nand_os_driver.h"
#include "module/nor_chips.h"
#include "module/nor_model.h"

namespace {

constexpr char kNandBoardName[] = "nand";

// The module's settings without what would make looking at it act up or
// show in the flash log as a user of the flash.
ModuleConfig WithoutFaults(const ModuleConfig& config) {
  const ModuleConfig plain;
  ModuleConfig quiet = config;
  quiet.timing = plain.timing;
  quiet.faultNeverReady = plain.faultNeverReady;
  quiet.faultPowerCutAfter = plain.faultPowerCutAfter;
  quiet.faultPowerCutBusyUs = plain.faultPowerCutBusyUs;
  quiet.faultNandBadBlocks = plain.faultNandBadBlocks;
  quiet.faultNandProgramFail = plain.faultNandProgramFail;
  quiet.faultNandEraseFail = plain.faultNandEraseFail;
  quiet.faultNandCorrectable = plain.faultNandCorrectable;
  quiet.faultNandUncorrectable = plain.faultNandUncorrectable;
  quiet.traceFlashLog = plain.traceFlashLog;
  return quiet;
}

bool OpenNand(const Module& module, ModuleImage* image, std::string* error) {
  image->nand = NandModelOpen(ModuleFlashPath(module.dir), ModuleShmPath(module.dir), WithoutFaults(module.config),
                              error);
  if (image->nand == nullptr) return false;
  image->nandFlash = NandOsFlashOpenView(module, image->nand, error);
  if (image->nandFlash == nullptr) return false;
  image->flash = NandOsFlashAccess(image->nandFlash);
  return true;
}

}  // namespace

bool ModuleImageOpen(const Module& module, ModuleImage* image, std::string* error) {
  *image = ModuleImage{};
  bool ok = false;
  if (ModuleIsNand(module.config)) {
    ok = OpenNand(module, image, error);
  } else {
    // The tools write flash.img straight, so they count their changes too.
    ok = FlashImageOpen(ModuleFlashPath(module.dir), kNorImageBlock, &image->nor, error) &&
         FlashImageCountChanges(&image->nor, ModuleShmPath(module.dir), error);
    if (ok) image->flash = RawFlashAccess(&image->nor.raw);
  }
  if (!ok) ModuleImageClose(image);
  return ok;
}

void ModuleImageClose(ModuleImage* image) {
  NandOsFlashClose(image->nandFlash);
  if (image->nand != nullptr) NandModelClose(image->nand);
  FlashImageClose(&image->nor);
  *image = ModuleImage{};
}

bool ModuleIsNand(const ModuleConfig& config) { return config.board == kNandBoardName; }

uint32_t ModuleFlashBytes(const ModuleConfig& config) {
  if (!ModuleIsNand(config)) return NorPairBytes(config.norDeviceCode);
  const NandChipType* chip = NandChipTypeOf(config.nandChipId);
  return chip == nullptr ? 0 : NandUsableBytes(chip);
}

bool ModuleFlashCheckConfig(const ModuleConfig& config, std::string* error) {
  return ModuleIsNand(config) ? NandModelCheckConfig(config, error) : NorModelCheckConfig(config, error);
}
