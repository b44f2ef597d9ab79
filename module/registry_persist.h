// The persistent registry in the flash Registry region: two halves, each
// either invalid or holding the header {marker, length} followed by `length`
// bytes of saved data. The saved data is a generation counter followed by
// the registry text, so that when an interrupted save leaves both halves
// valid the newer one wins. Every operation runs under the module's flash
// lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "module/module_dir.h"
#include "module/module_flash.h"

constexpr uint32_t kRegistryHalfMarker = 0x01234567;
constexpr uint32_t kRegistryHalfHeaderBytes = 8;      // marker, length
constexpr uint32_t kRegistryGenerationBytes = 4;      // first word of the saved data
constexpr char16_t kModuleFlashLockName[] = u"OnModuleFlash";

// Saves `text` into the half that is not current: erase, data, header last,
// then the other half is invalidated. Text too large for a half fails before
// the flash is touched.
bool RegistryPersistSave(const Module& module, const ModuleFlash& flash, std::string_view text, std::string* error);

// Saves the live registry (registry.reg).
bool RegistryPersistFlush(const Module& module, const ModuleFlash& flash, std::string* error);

// The registry text of the newest valid half; `found` is false when neither
// half is valid.
bool RegistryPersistRead(const Module& module, const ModuleFlash& flash, std::string* text, bool* found,
                         std::string* error);

// Replaces the live registry with the persistent one, or with the factory
// registry when no valid, readable copy exists (`usedFactory` tells which;
// it may be null). A module restart does this.
bool RegistryPersistReload(const Module& module, const ModuleFlash& flash, bool* usedFactory, std::string* error);

// One half as a restart judges it.
struct RegistryHalfState {
  bool valid = false;
  uint32_t length = 0;  // saved data bytes after the header
  uint32_t generation = 0;
};

// Both halves, without taking the flash lock (for looking at a module's
// flash image); `current` is the index of the half a restart loads, -1 when
// neither is valid.
bool RegistryPersistHalves(const Module& module, const ModuleFlash& flash, RegistryHalfState halves[2], int* current,
                           std::string* error);

// Invalidates both halves, so the next reload brings back the factory registry.
bool RegistryPersistClear(const Module& module, const ModuleFlash& flash, std::string* error);
