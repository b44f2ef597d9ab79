#include "platform/platform.h"

#include "module/flash_image.h"
#include "platform/hardware_link.h"
#include "platform/registry.h"

namespace {

// Erase block of the flash image as the module's own software handles it.
constexpr uint32_t kModuleFlashBlock = 0x40000;

struct PlatformState {
  bool attached = false;
  Module module;
  bool flashOpen = false;
  FlashImage flashImage;
  ModuleFlash flash;
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
  if (!g_platform.attached) {
    *error = "no module attached";
    return nullptr;
  }
  if (!g_platform.flashOpen) {
    if (!FlashImageOpen(ModuleFlashPath(g_platform.module.dir), kModuleFlashBlock, &g_platform.flashImage, error)) {
      return nullptr;
    }
    g_platform.flash = RawFlashAccess(&g_platform.flashImage.raw);
    g_platform.flashOpen = true;
  }
  return &g_platform.flash;
}

void PlatformDetachModule() {
  // Key handles name paths of the module they were opened on.
  RegistryPlatformReset();
  PlatformHardwareReset();
  if (g_platform.flashOpen) FlashImageClose(&g_platform.flashImage);
  g_platform = PlatformState{};
}
