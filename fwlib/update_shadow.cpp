#include "fwlib/update_shadow.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "flash/flash_layer.h"
#include "fwlib/results.h"

namespace {

constexpr uint8_t ERASED_BYTE = 0xFF;

struct ShadowState {
  alignas(uint32_t) uint8_t bytes[BOOT_SHADOW_BYTES];
  bool used;
};

ShadowState g_shadow;

const uint32_t* Words(uint32_t offset) { return reinterpret_cast<const uint32_t*>(g_shadow.bytes + offset); }

uint32_t WriteAll(uint32_t block) {
  for (uint32_t at = 0; at < BOOT_SHADOW_WRITTEN_BYTES; at += block) {
    uint32_t piece = std::min(block, BOOT_SHADOW_WRITTEN_BYTES - at);
    if (FlashOps.Write(Words(at), at, piece) == 0) return FWL_ERR_FLASH_WRITE;
  }
  return FWL_OK;
}

uint32_t VerifyAll(uint32_t block) {
  uint32_t* back = new (std::nothrow) uint32_t[(block + 3) / 4];
  if (back == nullptr) return FWL_ERR_NO_MEMORY;
  uint32_t result = FWL_OK;
  for (uint32_t at = 0; result == FWL_OK && at < BOOT_SHADOW_WRITTEN_BYTES; at += block) {
    uint32_t piece = std::min(block, BOOT_SHADOW_WRITTEN_BYTES - at);
    if (FlashOps.Read(back, at, piece) == 0) result = FWL_ERR_FLASH_READ;
    else if (std::memcmp(back, g_shadow.bytes + at, piece) != 0) result = FWL_ERR_VERIFY;
  }
  delete[] back;
  return result;
}

}  // namespace

void ShadowClear() {
  std::memset(g_shadow.bytes, ERASED_BYTE, sizeof g_shadow.bytes);
  g_shadow.used = false;
}

uint32_t ShadowPut(const uint8_t* source, uint32_t offset, uint32_t n) {
  if (offset >= BOOT_SHADOW_BYTES) return 0;
  uint32_t taken = std::min(n, BOOT_SHADOW_BYTES - offset);
  std::memcpy(g_shadow.bytes + offset, source, taken);
  g_shadow.used = true;
  return taken;
}

bool ShadowUsed() { return g_shadow.used; }

uint32_t ShadowWriteBack() {
  // A driver without a block size gives no piece to write in.
  uint32_t block = FlashOps.BlockSize != nullptr ? FlashOps.BlockSize(0) : 0;
  if (block == 0) return FWL_ERR_FLASH_WRITE;
  uint32_t result = WriteAll(block);
  if (result == FWL_OK) result = VerifyAll(block);
  ShadowClear();
  return result;
}

bool BootAreaReservedOverlap(uint32_t offset, uint32_t length) {
  return FlashType == FLASH_TYPE_NAND && length != 0 && offset < BOOT_SHADOW_BYTES &&
         uint64_t{offset} + length > BOOT_SHADOW_WRITTEN_BYTES;
}

const uint8_t* ShadowBytes() { return g_shadow.bytes; }
