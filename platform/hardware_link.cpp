#include "platform/hardware_link.h"

#include <cstdio>
#include <mutex>

#include "module/module_image.h"
#include "module/nand_model.h"
#include "platform/platform.h"

namespace {

struct HardwareLinkState {
  std::mutex mutex;
  bool open = false;
  std::string dir;  // module the hardware belongs to
  ModuleHardware hw;
  NandModel* nand = nullptr;
};

HardwareLinkState g_link;

}  // namespace

ModuleHardware* PlatformHardware() {
  std::lock_guard<std::mutex> lock(g_link.mutex);
  const Module* module = PlatformModule();
  if (module == nullptr) return nullptr;
  // A re-attach without a detach in between must not leave the old module's devices on the bus.
  if (g_link.open && g_link.dir == module->dir) return &g_link.hw;
  std::string error;
  if (!ModuleHardwareOpen(*module, &g_link.hw, &error)) {
    std::fprintf(stderr, "flashwright: module hardware: %s\n", error.c_str());
  }
  if (g_link.nand != nullptr) NandModelClose(g_link.nand);
  g_link.nand = nullptr;
  if (ModuleIsNand(module->config)) {
    g_link.nand = NandModelOpen(ModuleFlashPath(module->dir), ModuleShmPath(module->dir), module->config, &error);
    if (g_link.nand == nullptr) std::fprintf(stderr, "flashwright: module hardware: %s\n", error.c_str());
  }
  g_link.open = true;
  g_link.dir = module->dir;
  return &g_link.hw;
}

NandModel* PlatformNandModel() {
  std::lock_guard<std::mutex> lock(g_link.mutex);
  return g_link.open ? g_link.nand : nullptr;
}

void PlatformHardwareReset() {
  std::lock_guard<std::mutex> lock(g_link.mutex);
  if (g_link.open) ModuleHardwareClose(&g_link.hw);
  if (g_link.nand != nullptr) NandModelClose(g_link.nand);
  g_link.nand = nullptr;
  g_link.open = false;
  g_link.dir.clear();
}
