#include "platform/platform.h"

#include <cstdio>

#include "module/module_image.h"
#include "module/nand_os_driver.h"
#include "module/nor_model.h"
#include "platform/hardware_link.h"
#include "platform/registry.h"
#include "platform/storage_internal.h"

namespace {

struct PlatformState {
  bool attached = false;
  Module module;
  ModuleFlash flash;  // the module OS's own access, over its flash chips
  NandOsFlash* nandFlash = nullptr;  // on a NAND board: the OS driver's logical flash
};

PlatformState g_platform;

// The module's OS comes up with the process: on a NAND board its driver
// (which set the controller up as the hardware came up) builds the shared
// block map, unless another process did so since the module started, and
// offers the OS its flash.
void StartNandDriver() {
  ModuleHardware* hardware = PlatformHardware();
  NandModel* nand = hardware == nullptr ? nullptr : hardware->nand;
  if (nand == nullptr) return;
  std::string error;
  if (!NandOsStart(g_platform.module, nand, &error)) {
    std::fprintf(stderr, "flashwright: the module's NAND driver did not start: %s\n", error.c_str());
  }
  g_platform.nandFlash = NandOsFlashOpen(g_platform.module, nand, &error);
  if (g_platform.nandFlash == nullptr) std::fprintf(stderr, "flashwright: module flash: %s\n", error.c_str());
}

}  // namespace

bool PlatformAttachModule(const std::string& dir, bool create, std::string* error) {
  PlatformDetachModule();
  Module module;
  bool ok = create ? ModuleOpenOrCreate(dir, &module, error) : ModuleOpen(dir, &module, error);
  if (!ok) return false;
  g_platform.module = module;
  g_platform.attached = true;
  if (ModuleIsNand(module.config)) StartNandDriver();
  return true;
}

const Module* PlatformModule() { return g_platform.attached ? &g_platform.module : nullptr; }

const ModuleFlash* PlatformModuleFlash(std::string* error) {
  ModuleHardware* hardware = PlatformHardware();
  if (hardware == nullptr) {
    *error = "no module attached";
    return nullptr;
  }
  if (ModuleIsNand(g_platform.module.config)) {
    if (g_platform.nandFlash == nullptr) {
      *error = "the module's flash did not come up";
      return nullptr;
    }
    g_platform.flash = NandOsFlashAccess(g_platform.nandFlash);
    return &g_platform.flash;
  }
  if (hardware->nor == nullptr) {
    *error = "the module's flash did not come up";
    return nullptr;
  }
  g_platform.flash = NorModelModuleFlash(hardware->nor);
  return &g_platform.flash;
}

void PlatformDetachModule() {
  // Key handles name paths of the module they were opened on.
  RegistryPlatformReset();
  // The OS's flash uses the chip, which goes with the hardware; a mount of
  // it must not outlive it.
  StorageDropKeptMount();
  NandOsFlashClose(g_platform.nandFlash);
  PlatformHardwareReset();
  g_platform = PlatformState{};
}
