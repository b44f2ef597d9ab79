#include "platform/hardware_link.h"

#include <cstdio>
#include <mutex>

#include "platform/platform.h"

namespace {

struct HardwareLinkState {
  std::mutex mutex;
  bool open = false;
  std::string dir;  // module the hardware belongs to
  ModuleHardware hw;
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
  g_link.open = true;
  g_link.dir = module->dir;
  return &g_link.hw;
}

void PlatformHardwareReset() {
  std::lock_guard<std::mutex> lock(g_link.mutex);
  if (g_link.open) ModuleHardwareClose(&g_link.hw);
  g_link.open = false;
  g_link.dir.clear();
}
