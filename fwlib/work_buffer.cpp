#include "fwlib/work_buffer.h"

#include <cstdlib>

namespace {

struct WorkBufferState {
  void* block = nullptr;
  uint32_t size = 0;
  uint32_t limit = WORK_BUFFER_NO_LIMIT;
};

WorkBufferState g_buffer;

void* Allocate(uint32_t bytes) { return bytes > g_buffer.limit ? nullptr : std::malloc(bytes); }

}  // namespace

bool WorkBufferAcquire() {
  if (g_buffer.block != nullptr) return true;
  // A smaller block only means more, shorter transfers; give up only when
  // not even one byte is left.
  for (uint32_t size = WORK_BUFFER_BYTES; size != 0; size /= 2) {
    g_buffer.block = Allocate(size);
    if (g_buffer.block != nullptr) {
      g_buffer.size = size;
      return true;
    }
  }
  g_buffer.size = 0;
  return false;
}

bool WorkBufferHeld() { return g_buffer.block != nullptr; }

uint8_t* WorkBufferData() { return static_cast<uint8_t*>(g_buffer.block); }

uint32_t* WorkBufferWords() { return static_cast<uint32_t*>(g_buffer.block); }

uint32_t WorkBufferSize() { return g_buffer.size; }

void WorkBufferFree() {
  std::free(g_buffer.block);
  g_buffer.block = nullptr;
  g_buffer.size = 0;
}

void WorkBufferLimitForTests(uint32_t maxBytes) { g_buffer.limit = maxBytes; }
