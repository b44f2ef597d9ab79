#include <algorithm>
#include <cstring>

#include "module/module_flash.h"

namespace {

bool InRange(const RawFlash* raw, uint32_t offset, uint32_t length) {
  return offset <= raw->size && length <= raw->size - offset;
}

bool RawRead(void* ctx, uint32_t offset, void* out, uint32_t length) {
  auto* raw = static_cast<RawFlash*>(ctx);
  if (!InRange(raw, offset, length)) return false;
  std::memcpy(out, raw->bytes + offset, length);
  return true;
}

bool RawProgram(void* ctx, uint32_t offset, const void* data, uint32_t length) {
  auto* raw = static_cast<RawFlash*>(ctx);
  if (!InRange(raw, offset, length)) return false;
  raw->programCalls++;
  CellChangesCount(&raw->changes);
  const auto* in = static_cast<const uint8_t*>(data);
  for (uint32_t i = 0; i < length; i++) raw->bytes[offset + i] &= in[i];
  return true;
}

bool RawErase(void* ctx, uint32_t offset, uint32_t length) {
  auto* raw = static_cast<RawFlash*>(ctx);
  if (!InRange(raw, offset, length) || raw->block == 0) return false;
  raw->eraseCalls++;
  CellChangesCount(&raw->changes);
  uint32_t first = offset - offset % raw->block;
  uint64_t end = uint64_t{offset} + length;
  end = std::min<uint64_t>(raw->size, (end + raw->block - 1) / raw->block * raw->block);
  std::memset(raw->bytes + first, 0xFF, end - first);
  return true;
}

uint32_t RawSize(void* ctx) { return static_cast<RawFlash*>(ctx)->size; }
uint32_t RawBlockSize(void* ctx, uint32_t) { return static_cast<RawFlash*>(ctx)->block; }
bool RawChanges(void* ctx, uint64_t* count) { return CellChangesNow(static_cast<RawFlash*>(ctx)->changes, count); }

const ModuleFlashOps kRawOps = {RawRead, RawProgram, RawErase, RawSize, RawBlockSize, nullptr, RawChanges};

}  // namespace

ModuleFlash RawFlashAccess(RawFlash* raw) { return ModuleFlash{&kRawOps, raw}; }

void MemoryFlashInit(MemoryFlash* mem, uint32_t size, uint32_t blockSize) {
  mem->storage.assign(size, 0xFF);
  mem->raw = RawFlash{};
  mem->raw.bytes = mem->storage.data();
  mem->raw.size = size;
  mem->raw.block = blockSize;
}
