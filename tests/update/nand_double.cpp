#include "tests/update/nand_double.h"

#include <algorithm>
#include <cstring>

#include "flash/flash_layer.h"

namespace {

struct Installed {
  NandDouble nand;
  FlashOpsTable saved = {};
  uint32_t savedType = 0;
  uint32_t savedSize = 0;
};
Installed* g_installed = nullptr;

NandDouble& N() { return g_installed->nand; }

bool InRange(uint32_t offset, uint32_t length) { return uint64_t{offset} + length <= N().bytes.size(); }
bool Covers(uint32_t offset, uint32_t length, uint32_t at) { return at >= offset && at - offset < length; }

uint32_t Erase(uint32_t offset, uint32_t length) {
  uint64_t from = offset / NandDouble::kBlock * uint64_t{NandDouble::kBlock};
  uint64_t to = (uint64_t{offset} + length + NandDouble::kBlock - 1) / NandDouble::kBlock * NandDouble::kBlock;
  if (to > N().bytes.size()) return 0;
  std::fill(N().bytes.begin() + static_cast<long>(from), N().bytes.begin() + static_cast<long>(to), 0xFF);
  std::fill(N().programs.begin() + static_cast<long>(from / NandDouble::kPage),
            N().programs.begin() + static_cast<long>(to / NandDouble::kPage), 0);
  return 1;
}

// Whole pages, a partial first or last one padded with 0xFF, as the driver does.
uint32_t Write(const uint32_t* source, uint32_t offset, uint32_t length) {
  N().writes.emplace_back(offset, length);
  if (!InRange(offset, length) || Covers(offset, length, N().failWriteAt)) return 0;
  const auto* src = reinterpret_cast<const uint8_t*>(source);
  for (uint32_t page = offset / NandDouble::kPage; page * uint64_t{NandDouble::kPage} < uint64_t{offset} + length;
       page++) {
    if (++N().programs[page] > 1) N().doubleProgrammed++;
  }
  for (uint32_t i = 0; i < length; i++) N().bytes[offset + i] &= src[i];
  return 1;
}

uint32_t Read(uint32_t* destination, uint32_t offset, uint32_t length) {
  N().reads++;
  if (!InRange(offset, length)) return 0;
  auto* out = reinterpret_cast<uint8_t*>(destination);
  std::memcpy(out, N().bytes.data() + offset, length);
  if (Covers(offset, length, N().flipReadAt)) out[N().flipReadAt - offset] ^= 0x01;
  return 1;
}

uint32_t ReadWord(uint32_t offset) {
  uint32_t word = 0;
  return Read(&word, offset, 4) != 0 ? word : 0;
}

uint32_t WriteWord(uint32_t offset, uint32_t value) { return Write(&value, offset, 4); }
uint32_t BlockSize(uint32_t) { return NandDouble::kBlock; }
uint32_t PageSize() { return NandDouble::kPage; }
int SetEcc(int) { return 1; }

}  // namespace

NandDouble* NandDoubleInstall(uint32_t bytes) {
  NandDoubleRemove();
  g_installed = new Installed;
  g_installed->saved = FlashOps;
  g_installed->savedType = FlashType;
  g_installed->savedSize = FlashSize;
  N().bytes.assign(bytes, 0xFF);
  N().programs.assign(bytes / NandDouble::kPage, 0);
  FlashOps = FlashOpsTable{Erase, Write, WriteWord, Read, ReadWord, BlockSize, PageSize, SetEcc};
  FlashType = FLASH_TYPE_NAND;
  FlashSize = bytes;
  return &N();
}

void NandDoubleRemove() {
  if (g_installed == nullptr) return;
  FlashOps = g_installed->saved;
  FlashType = g_installed->savedType;
  FlashSize = g_installed->savedSize;
  delete g_installed;
  g_installed = nullptr;
}
