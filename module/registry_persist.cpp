#include "module/registry_persist.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "module/factory_registry.h"
#include "module/flash_lock.h"
#include "module/named_mutex.h"
#include "module/registry_store.h"
#include "module/registry_text.h"

namespace {

constexpr uint32_t kHalves = 2;
constexpr uint32_t kInvalidatedWord = 0;  // programming clears bits, so no erase is needed
constexpr int kNoHalf = -1;

struct Layout {
  uint32_t base[kHalves] = {};
  uint32_t half = 0;
};

using HalfState = RegistryHalfState;

uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void StoreLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

// The two halves must lie inside the flash and each be whole erase blocks,
// or erasing one half would take the other with it.
bool GetLayout(const Module& module, const ModuleFlash& flash, Layout* layout, std::string* error) {
  layout->half = module.config.layoutRegistryHalf;
  uint64_t end = uint64_t{module.config.layoutRegistryBase} + uint64_t{kHalves} * layout->half;
  if (layout->half <= kRegistryHalfHeaderBytes + kRegistryGenerationBytes || end > flash.ops->size(flash.ctx)) {
    *error = "the registry region does not fit the flash";
    return false;
  }
  for (uint32_t i = 0; i < kHalves; i++) {
    layout->base[i] = module.config.layoutRegistryBase + i * layout->half;
    uint32_t block = flash.ops->blockSize(flash.ctx, layout->base[i]);
    if (block == 0 || layout->base[i] % block != 0 || layout->half % block != 0) {
      *error = "the registry half at " + Hex(layout->base[i]) + " is not made of whole erase blocks";
      return false;
    }
  }
  return true;
}

bool ReadFlash(const ModuleFlash& flash, uint32_t offset, void* out, uint32_t length, std::string* error) {
  if (ModuleFlashRead(flash, offset, out, length)) return true;
  *error = "cannot read the flash at " + Hex(offset);
  return false;
}

// Programs and reads back, so a weak or failing program is caught before
// anything that depends on it is written.
bool ProgramVerified(const ModuleFlash& flash, uint32_t offset, const uint8_t* data, uint32_t length,
                     std::string* error) {
  if (!ModuleFlashProgram(flash, offset, data, length)) {
    *error = "cannot program the flash at " + Hex(offset);
    return false;
  }
  std::vector<uint8_t> back(length);
  if (!ReadFlash(flash, offset, back.data(), length, error)) return false;
  if (std::memcmp(back.data(), data, length) != 0) {
    *error = "the flash at " + Hex(offset) + " does not hold what was programmed";
    return false;
  }
  return true;
}

bool ReadHalf(const ModuleFlash& flash, const Layout& layout, uint32_t index, HalfState* state, std::string* error) {
  uint8_t header[kRegistryHalfHeaderBytes];
  *state = HalfState{};
  if (!ReadFlash(flash, layout.base[index], header, sizeof header, error)) return false;
  uint32_t length = LoadLe32(header + 4);
  if (LoadLe32(header) != kRegistryHalfMarker || length < kRegistryGenerationBytes ||
      length > layout.half - kRegistryHalfHeaderBytes) {
    return true;
  }
  uint8_t generation[kRegistryGenerationBytes];
  if (!ReadFlash(flash, layout.base[index] + kRegistryHalfHeaderBytes, generation, sizeof generation, error)) {
    return false;
  }
  state->valid = true;
  state->length = length;
  state->generation = LoadLe32(generation);
  return true;
}

bool ReadHalves(const ModuleFlash& flash, const Layout& layout, HalfState states[kHalves], std::string* error) {
  for (uint32_t i = 0; i < kHalves; i++) {
    if (!ReadHalf(flash, layout, i, &states[i], error)) return false;
  }
  return true;
}

// Generations compare by signed distance, so the counter may wrap.
int NewestHalf(const HalfState states[kHalves]) {
  if (states[0].valid && states[1].valid) {
    return static_cast<int32_t>(states[1].generation - states[0].generation) > 0 ? 1 : 0;
  }
  if (states[0].valid) return 0;
  if (states[1].valid) return 1;
  return kNoHalf;
}

bool InvalidateHalf(const ModuleFlash& flash, uint32_t base, std::string* error) {
  uint8_t word[sizeof(uint32_t)];
  StoreLe32(word, kInvalidatedWord);
  return ProgramVerified(flash, base, word, sizeof word, error);
}

bool SaveLocked(const ModuleFlash& flash, const Layout& layout, std::string_view text, std::string* error) {
  HalfState states[kHalves];
  if (!ReadHalves(flash, layout, states, error)) return false;
  int current = NewestHalf(states);
  uint32_t target = current == 0 ? 1 : 0;
  uint32_t other = 1 - target;
  uint32_t generation = current == kNoHalf ? 1 : states[current].generation + 1;

  std::vector<uint8_t> payload(kRegistryGenerationBytes + text.size());
  StoreLe32(payload.data(), generation);
  std::memcpy(payload.data() + kRegistryGenerationBytes, text.data(), text.size());
  uint8_t header[kRegistryHalfHeaderBytes];
  StoreLe32(header, kRegistryHalfMarker);
  StoreLe32(header + 4, static_cast<uint32_t>(payload.size()));

  if (!ModuleFlashErase(flash, layout.base[target], layout.half)) {
    *error = "cannot erase the registry half at " + Hex(layout.base[target]);
    return false;
  }
  // The header is the commit marker: until it is written the target half is
  // invalid and the old copy stays current.
  if (!ProgramVerified(flash, layout.base[target] + kRegistryHalfHeaderBytes, payload.data(),
                       static_cast<uint32_t>(payload.size()), error) ||
      !ProgramVerified(flash, layout.base[target], header, sizeof header, error)) {
    return false;
  }
  return !states[other].valid || InvalidateHalf(flash, layout.base[other], error);
}

}  // namespace

bool RegistryPersistSave(const Module& module, const ModuleFlash& flash, std::string_view text, std::string* error) {
  Layout layout;
  if (!GetLayout(module, flash, &layout, error)) return false;
  uint64_t needed = uint64_t{kRegistryHalfHeaderBytes} + kRegistryGenerationBytes + text.size();
  if (needed > layout.half) {
    *error = "the registry needs " + std::to_string(needed) + " bytes, a registry half holds " +
             std::to_string(layout.half);
    return false;
  }
  // An abandoned lock is fine: every step leaves a valid copy behind,
  // whatever point the previous owner died at.
  NamedMutex* held = ModuleFlashLock(module, error);
  if (held == nullptr) return false;
  bool ok = SaveLocked(flash, layout, text, error);
  ModuleFlashUnlock(held);
  return ok;
}

bool RegistryPersistFlush(const Module& module, const ModuleFlash& flash, std::string* error) {
  RegistryData data;
  if (!RegistryLoadLive(module.dir, &data, error)) return false;
  return RegistryPersistSave(module, flash, RegistryToText(data), error);
}

bool RegistryPersistRead(const Module& module, const ModuleFlash& flash, std::string* text, bool* found,
                         std::string* error) {
  *found = false;
  text->clear();
  Layout layout;
  if (!GetLayout(module, flash, &layout, error)) return false;
  // An abandoned lock is fine: every step leaves a valid copy behind,
  // whatever point the previous owner died at.
  NamedMutex* held = ModuleFlashLock(module, error);
  if (held == nullptr) return false;
  HalfState states[kHalves];
  bool ok = ReadHalves(flash, layout, states, error);
  int newest = ok ? NewestHalf(states) : kNoHalf;
  if (newest != kNoHalf) {
    uint32_t textBytes = states[newest].length - kRegistryGenerationBytes;
    text->resize(textBytes);
    ok = ReadFlash(flash, layout.base[newest] + kRegistryHalfHeaderBytes + kRegistryGenerationBytes, text->data(),
                   textBytes, error);
    *found = ok;
  }
  ModuleFlashUnlock(held);
  return ok;
}

bool RegistryPersistReload(const Module& module, const ModuleFlash& flash, bool* usedFactory, std::string* error) {
  std::string text;
  bool found = false;
  if (!RegistryPersistRead(module, flash, &text, &found, error)) return false;
  RegistryData data;
  std::string parseError;
  // A copy that does not parse is as good as none: the module comes back
  // with its factory registry rather than without one.
  bool factory = !found || !RegistryFromText(text, &data, &parseError);
  if (factory && !FactoryRegistryLoad(module, &data, error)) return false;
  if (usedFactory != nullptr) *usedFactory = factory;
  return RegistryReplaceLive(module.dir, data, error);
}

bool RegistryPersistClear(const Module& module, const ModuleFlash& flash, std::string* error) {
  Layout layout;
  if (!GetLayout(module, flash, &layout, error)) return false;
  // An abandoned lock is fine: every step leaves a valid copy behind,
  // whatever point the previous owner died at.
  NamedMutex* held = ModuleFlashLock(module, error);
  if (held == nullptr) return false;
  bool ok = true;
  for (uint32_t i = 0; ok && i < kHalves; i++) {
    uint8_t word[sizeof(uint32_t)];
    ok = ReadFlash(flash, layout.base[i], word, sizeof word, error);
    if (ok && LoadLe32(word) == kRegistryHalfMarker) ok = InvalidateHalf(flash, layout.base[i], error);
  }
  ModuleFlashUnlock(held);
  return ok;
}

bool RegistryPersistHalves(const Module& module, const ModuleFlash& flash, RegistryHalfState halves[2], int* current,
                           std::string* error) {
  Layout layout;
  if (!GetLayout(module, flash, &layout, error) || !ReadHalves(flash, layout, halves, error)) return false;
  *current = NewestHalf(halves);
  return true;
}
