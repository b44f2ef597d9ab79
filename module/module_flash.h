// The module's own access to its flash, as the module's OS uses it (persistent
// registry). A table of functions so that a plain image, the NOR device model
// and the tests' in-memory double all serve the same callers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/cell_changes.h"

struct ModuleFlashOps {
  bool (*read)(void* ctx, uint32_t offset, void* out, uint32_t length);
  // Programming only clears bits, as on the real chips.
  bool (*program)(void* ctx, uint32_t offset, const void* data, uint32_t length);
  // Sets every byte of the erase blocks covering [offset, offset + length) to 0xFF.
  bool (*erase)(void* ctx, uint32_t offset, uint32_t length);
  uint32_t (*size)(void* ctx);
  uint32_t (*blockSize)(void* ctx, uint32_t offset);
  // A module restart: what the driver keeps until the power goes (controller
  // set-up, tables shared between processes) is dropped and the module's OS
  // brings the driver up again. Null where nothing outlives a process.
  bool (*restart)(void* ctx, std::string* error) = nullptr;
  // A count that moves with every change to the flash by any process on the
  // module (and never moves back): what was read stays true while it holds
  // still. Null, or false, where changes are not counted.
  bool (*changes)(void* ctx, uint64_t* count) = nullptr;
};

struct ModuleFlash {
  const ModuleFlashOps* ops = nullptr;
  void* ctx = nullptr;
};

inline bool ModuleFlashRead(const ModuleFlash& f, uint32_t off, void* out, uint32_t len) {
  return f.ops->read(f.ctx, off, out, len);
}
inline bool ModuleFlashProgram(const ModuleFlash& f, uint32_t off, const void* data, uint32_t len) {
  return f.ops->program(f.ctx, off, data, len);
}
inline bool ModuleFlashErase(const ModuleFlash& f, uint32_t off, uint32_t len) {
  return f.ops->erase(f.ctx, off, len);
}
// False where the flash does not count its changes.
inline bool ModuleFlashChanges(const ModuleFlash& f, uint64_t* count) {
  return f.ops->changes != nullptr && f.ops->changes(f.ctx, count);
}

// Flash as plain bytes with uniform erase blocks: the tests' in-memory double
// and the module's flash.img before a device model sits in front of it.
struct RawFlash {
  uint8_t* bytes = nullptr;
  uint32_t size = 0;
  uint32_t block = 0x40000;
  uint64_t programCalls = 0;
  uint64_t eraseCalls = 0;
  CellChanges changes;  // a module's flash.img counts in the module's count
};
ModuleFlash RawFlashAccess(RawFlash* raw);

struct MemoryFlash {
  std::vector<uint8_t> storage;
  RawFlash raw;
};
// Erased (all 0xFF) flash of `size` bytes.
void MemoryFlashInit(MemoryFlash* mem, uint32_t size, uint32_t blockSize);
