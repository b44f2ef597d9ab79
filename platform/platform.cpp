#include "platform/platform.h"

namespace {

struct PlatformState {
  bool attached = false;
  Module module;
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

void PlatformDetachModule() {
  g_platform.attached = false;
  g_platform.module = Module{};
}
