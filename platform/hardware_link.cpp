#include "platform/hardware_link.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/platform.h"

namespace {

struct HardwareLinkState {
  std::mutex mutex;
  // Set once the hardware is open: every register access asks for it, so it
  // is read without the lock. Attaching a module detaches the last one first,
  // which resets this, so the hardware here is always the attached module's.
  std::atomic<ModuleHardware*> ready{nullptr};
  ModuleHardware hw;
};

HardwareLinkState g_link;

}  // namespace

ModuleHardware* PlatformHardware() {
  if (ModuleHardware* hw = g_link.ready.load(std::memory_order_acquire)) return hw;
  std::lock_guard<std::mutex> lock(g_link.mutex);
  const Module* module = PlatformModule();
  if (module == nullptr) return nullptr;
  if (ModuleHardware* hw = g_link.ready.load(std::memory_order_relaxed)) return hw;
  std::string error;
  if (!ModuleHardwareOpen(*module, &g_link.hw, &error)) {
    std::fprintf(stderr, "flashwright: module hardware: %s\n", error.c_str());
  }
  g_link.ready.store(&g_link.hw, std::memory_order_release);
  return &g_link.hw;
}

void PlatformHardwareReset() {
  std::lock_guard<std::mutex> lock(g_link.mutex);
  if (g_link.ready.load(std::memory_order_relaxed) != nullptr) ModuleHardwareClose(&g_link.hw);
  g_link.ready.store(nullptr, std::memory_order_release);
}
