#include "tests/storage_module/disk_fixture.h"

#include <algorithm>
#include <cstring>

namespace {

CutFlash* Of(void* ctx) { return static_cast<CutFlash*>(ctx); }

ModuleFlash Inner(CutFlash* f) { return RawFlashAccess(&f->memory.raw); }

// True when the change may go ahead; the change that meets the cut is done
// by halves by the caller.
bool Spend(CutFlash* f) {
  if (f->cut) return false;
  if (f->budget == 0) {
    f->cut = true;
    return false;
  }
  if (f->budget > 0) f->budget--;
  f->changes++;
  return true;
}

bool Read(void* ctx, uint32_t offset, void* out, uint32_t length) {
  return ModuleFlashRead(Inner(Of(ctx)), offset, out, length);
}

bool Program(void* ctx, uint32_t offset, const void* data, uint32_t length) {
  CutFlash* f = Of(ctx);
  bool wasCut = f->cut;
  if (!Spend(f)) {
    if (!wasCut) ModuleFlashProgram(Inner(f), offset, data, length / 2);
    return false;
  }
  if (f->weakAt >= 0 && f->weakAt >= offset && f->weakAt < int64_t{offset} + length) {
    std::vector<uint8_t> weak(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + length);
    weak[f->weakAt - offset] = 0xFF;
    return ModuleFlashProgram(Inner(f), offset, weak.data(), length);
  }
  return ModuleFlashProgram(Inner(f), offset, data, length);
}

bool Erase(void* ctx, uint32_t offset, uint32_t length) {
  CutFlash* f = Of(ctx);
  bool wasCut = f->cut;
  if (!Spend(f)) {
    // An erase cut short: the first half of the block reads erased, the
    // rest still holds what it held.
    if (!wasCut) std::memset(f->memory.storage.data() + offset, 0xFF, length / 2);
    return false;
  }
  return ModuleFlashErase(Inner(f), offset, length);
}

uint32_t Size(void* ctx) { return Of(ctx)->memory.raw.size; }
uint32_t BlockSize(void* ctx, uint32_t) { return Of(ctx)->memory.raw.block; }

const ModuleFlashOps kCutOps = {Read, Program, Erase, Size, BlockSize};

}  // namespace

void CutFlashInit(CutFlash* flash) {
  MemoryFlashInit(&flash->memory, kTestFlashBlocks * kTestBlockBytes, kTestBlockBytes);
  flash->budget = -1;
  flash->cut = false;
  flash->changes = 0;
  flash->weakAt = -1;
}

ModuleFlash CutFlashAccess(CutFlash* flash) { return ModuleFlash{&kCutOps, flash}; }

FlashDiskGeometry TestGeometry() {
  return FlashDiskGeometry{kTestFirstBlock * kTestBlockBytes, kTestDiskBlocks * kTestBlockBytes, kTestBlockBytes,
                           kTestSectorBytes};
}

std::vector<uint8_t> SectorData(uint32_t sector, uint32_t version) {
  std::vector<uint8_t> data(kTestSectorBytes);
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<uint8_t>(sector * 7 + version * 13 + i);
  data[0] = static_cast<uint8_t>(sector);
  data[1] = static_cast<uint8_t>(version);
  return data;
}

::testing::AssertionResult DiskHolds(const ModuleFlash& flash, const DiskModel& before, const DiskModel& after) {
  FlashDisk disk;
  std::string error;
  if (!FlashDiskMount(flash, TestGeometry(), &disk, &error)) return ::testing::AssertionFailure() << error;
  if (FlashDiskSectorCount(disk) != kTestSectors) return ::testing::AssertionFailure() << "sector count";
  const std::vector<uint8_t> erased(kTestSectorBytes, 0xFF);
  for (uint32_t s = 0; s < kTestSectors; s++) {
    std::vector<uint8_t> got(kTestSectorBytes);
    if (!FlashDiskRead(&disk, s, 1, got.data(), &error)) return ::testing::AssertionFailure() << error;
    uint32_t address = FlashDiskSectorAddress(disk, s);
    bool matched = false;
    for (const DiskModel* model : {&before, &after}) {
      auto it = model->find(s);
      if (it == model->end()) {
        matched = matched || (got == erased && address == kFlashDiskNoAddress);
        continue;
      }
      std::vector<uint8_t> want = SectorData(s, it->second);
      std::vector<uint8_t> atAddress(kTestSectorBytes);
      // The address must lead to the very bytes the sector reads as.
      matched = matched || (got == want && address != kFlashDiskNoAddress &&
                            ModuleFlashRead(flash, address, atAddress.data(), kTestSectorBytes) && atAddress == want);
    }
    if (!matched) return ::testing::AssertionFailure() << "sector " << s << " holds something else";
  }
  return ::testing::AssertionSuccess();
}
