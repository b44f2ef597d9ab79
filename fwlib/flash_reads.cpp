#include "fwlib/flash_reads.h"

#include "flash/flash_layer.h"

bool FlashReady() { return FlashType != FLASH_TYPE_NONE && FlashOps.Read != nullptr; }

namespace {
uint32_t g_lockFailures = 0;
}

bool FlashLockForReads() {
  if (!FlashReady()) return false;
  if (FlashLock(FLASH_WAIT_FOREVER) != 0) return true;
  g_lockFailures++;
  return false;
}

uint32_t FlashReadLockFailures() { return g_lockFailures; }

bool FlashReadAt(uint32_t* destination, uint64_t offset, uint32_t length) {
  if (!FlashReady() || offset + length > uint64_t{UINT32_MAX} + 1) return false;
  return FlashOps.Read(destination, static_cast<uint32_t>(offset), length) != 0;
}
