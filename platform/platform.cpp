#include "platform/platform.h"

#include "module/nor_model.h"
#include "platform/hardware_link.h"
#include "platform/registry.h"

namespace {

struct PlatformState {
  bool attached = false;
  Module module;
  ModuleFlash flash;  // the module OS's own access, over its flash chips
};

PlatformState g_platform;

}  // namespace

bool PlatformAttachModule(const std::string& dir, bool create, std::string* error) {
  PlatformDetachModule();
  Module module;
  bool ok = create ? ModuleOpenOrCreate(dir, &module, error) : ModuleOpen(dir, &module, error);
  if (!ok) return false;
  g_platform.module = module;
  g_platform.attached = true;
  return true;
}

const Module* PlatformModule() { return g_platform.attached ? &g_platform.module : nullptr; }

const ModuleFlash* PlatformModuleFlash(std::string* error) {
  ModuleHardware* hardware = PlatformHardware();
  if (hardware == nullptr || hardware->nor == nullptr) {
    *error = hardware == nullptr ? "no module attached" : "the module's flash did not come up";
    return nullptr;
  }
  g_platform.flash = NorModelModuleFlash(hardware->nor);
  return &g_platform.flash;
}

void PlatformDetachModule() {
  // Key handles name paths of the module they were opened on.
  RegistryPlatformReset();
  PlatformHardwareReset();
  g_platform = PlatformState{};
}
