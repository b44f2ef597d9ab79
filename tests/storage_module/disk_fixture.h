// A small flash disk on in-memory flash that can lose power mid-operation.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "module/flash_disk.h"

// 12 blocks of 4 KB; the disk takes blocks 2..9, so every write outside
// them is a fault. 512-byte sectors leave 7 data slots a block and
// (8 - 2 reserved) * 7 = 42 sectors.
constexpr uint32_t kTestBlockBytes = 4096;
constexpr uint32_t kTestSectorBytes = 512;
constexpr uint32_t kTestFlashBlocks = 12;
constexpr uint32_t kTestFirstBlock = 2;
constexpr uint32_t kTestDiskBlocks = 8;
constexpr uint32_t kTestSectors = 42;

// Flash whose power goes after `budget` programs and erases: the one that
// is cut leaves half its bytes done, and nothing changes after it.
struct CutFlash {
  MemoryFlash memory;
  int64_t budget = -1;  // changes allowed; -1 for no limit
  bool cut = false;
  uint64_t changes = 0;
  int64_t weakAt = -1;  // flash offset whose program leaves its bits set, like a worn cell
};

void CutFlashInit(CutFlash* flash);
ModuleFlash CutFlashAccess(CutFlash* flash);

FlashDiskGeometry TestGeometry();
std::vector<uint8_t> SectorData(uint32_t sector, uint32_t version);

// What the disk should hold: sector -> version of SectorData.
using DiskModel = std::map<uint32_t, uint32_t>;

// Mounts `flash` and checks every sector: each must hold what `before`
// says or what `after` says (an operation cut short may leave either);
// a sector missing from a model reads erased and has no address.
::testing::AssertionResult DiskHolds(const ModuleFlash& flash, const DiskModel& before, const DiskModel& after);
inline ::testing::AssertionResult DiskHolds(const ModuleFlash& flash, const DiskModel& model) {
  return DiskHolds(flash, model, model);
}
