// The flash disk's layout on NOR: sectors round-trip wherever they land,
// blocks are reclaimed, and no power cut loses or mixes up a sector.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "tests/storage_module/disk_fixture.h"

namespace {

constexpr uint32_t kTrim = 0xFFFFFFFF;  // an operation that trims instead of writing

struct Op {
  uint32_t sector;
  uint32_t version;  // kTrim to trim
};

bool Apply(const ModuleFlash& flash, const Op& op) {
  FlashDisk disk;
  std::string error;
  if (!FlashDiskMount(flash, TestGeometry(), &disk, &error)) return false;
  if (op.version == kTrim) return FlashDiskTrim(&disk, op.sector, 1, &error);
  return FlashDiskWrite(&disk, op.sector, 1, SectorData(op.sector, op.version).data(), &error);
}

void Record(DiskModel* model, const Op& op) {
  if (op.version == kTrim) {
    model->erase(op.sector);
  } else {
    (*model)[op.sector] = op.version;
  }
}

bool OutsideRegionErased(const CutFlash& flash) {
  const std::vector<uint8_t>& bytes = flash.memory.storage;
  uint32_t first = kTestFirstBlock * kTestBlockBytes;
  uint32_t end = first + kTestDiskBlocks * kTestBlockBytes;
  for (uint32_t i = 0; i < bytes.size(); i++) {
    if ((i < first || i >= end) && bytes[i] != 0xFF) return false;
  }
  return true;
}

class FlashDiskTest : public ::testing::Test {
 protected:
  void SetUp() override { CutFlashInit(&flash_); }

  void Run(const Op& op) {
    ASSERT_TRUE(Apply(access_, op)) << "sector " << op.sector;
    Record(&model_, op);
  }

  void FillAll(uint32_t version) {
    for (uint32_t s = 0; s < kTestSectors; s++) Run({s, version});
  }

  CutFlash flash_;
  ModuleFlash access_ = CutFlashAccess(&flash_);
  DiskModel model_;
};

TEST(FlashDiskLayoutTest, RefusesGeometriesThatDoNotFitTheFlash) {
  CutFlash flash;
  CutFlashInit(&flash);
  ModuleFlash access = CutFlashAccess(&flash);
  FlashDiskLayout layout;
  std::string error;
  ASSERT_TRUE(FlashDiskLayoutFor(access, TestGeometry(), &layout, &error)) << error;
  EXPECT_EQ(layout.sectorCount, kTestSectors);
  EXPECT_EQ(layout.dataOffset, kTestSectorBytes);  // header and 7 entries fit the first slot

  FlashDiskGeometry beyond = TestGeometry();
  beyond.base = (kTestFlashBlocks - 2) * kTestBlockBytes;
  FlashDiskGeometry tooSmall = TestGeometry();
  tooSmall.length = 2 * kTestBlockBytes;
  FlashDiskGeometry oddSector = TestGeometry();
  oddSector.sectorBytes = 500;
  FlashDiskGeometry halfBlocks = TestGeometry();
  halfBlocks.blockBytes = kTestBlockBytes / 2;
  halfBlocks.base += kTestBlockBytes / 2;
  for (const FlashDiskGeometry& g : {beyond, tooSmall, oddSector, halfBlocks}) {
    error.clear();
    EXPECT_FALSE(FlashDiskLayoutFor(access, g, &layout, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST_F(FlashDiskTest, ScatteredSectorsRoundTripAtTheirOwnAddresses) {
  for (uint32_t s : {0u, 1u, 2u, 5u, 10u, 11u, 12u, 13u, 14u, 41u}) Run({s, 1});
  ASSERT_TRUE(DiskHolds(access_, model_));

  FlashDisk disk;
  std::string error;
  ASSERT_TRUE(FlashDiskMount(access_, TestGeometry(), &disk, &error)) << error;
  EXPECT_EQ(FlashDiskMappedCount(disk, 0, kTestSectors), model_.size());
  EXPECT_EQ(FlashDiskMappedCount(disk, 3, 7), 1u);
  std::set<uint32_t> addresses;
  for (const auto& [sector, version] : model_) {
    uint32_t address = FlashDiskSectorAddress(disk, sector);
    EXPECT_GE(address, TestGeometry().base);
    EXPECT_LT(address, TestGeometry().base + TestGeometry().length);
    EXPECT_EQ(address % kTestSectorBytes, 0u);
    addresses.insert(address);
  }
  EXPECT_EQ(addresses.size(), model_.size());
  EXPECT_TRUE(OutsideRegionErased(flash_));
}

TEST_F(FlashDiskTest, RewritingAFullDiskReclaimsBlocksWithoutLosingData) {
  FillAll(1);
  std::mt19937 random(7);
  for (uint32_t round = 0; round < 400; round++) {
    uint32_t sector = random() % kTestSectors;
    Run({sector, 2 + round % 200});
    if (round % 50 == 0) {
      ASSERT_TRUE(DiskHolds(access_, model_)) << "round " << round;
    }
  }
  EXPECT_TRUE(DiskHolds(access_, model_));
  // 400 rewrites cannot fit 56 slots without erasing.
  EXPECT_GT(flash_.memory.raw.eraseCalls, 40u);
  EXPECT_TRUE(OutsideRegionErased(flash_));
}

TEST_F(FlashDiskTest, TrimmedSectorsHoldNoDataAndFreeTheirSpace) {
  FillAll(1);
  for (uint32_t s : {3u, 4u, 20u, 41u}) Run({s, kTrim});
  Run({3, kTrim});  // trimming what holds nothing is no error
  ASSERT_TRUE(DiskHolds(access_, model_));
  // The space comes back: the whole disk can be written again and again.
  FillAll(2);
  FillAll(3);
  EXPECT_TRUE(DiskHolds(access_, model_));
}

TEST_F(FlashDiskTest, FormatLeavesNoSectorAndTheDiskKeepsWorking) {
  FillAll(1);
  FlashDisk disk;
  std::string error;
  ASSERT_TRUE(FlashDiskMount(access_, TestGeometry(), &disk, &error));
  ASSERT_TRUE(FlashDiskFormat(&disk, &error)) << error;
  model_.clear();
  ASSERT_TRUE(DiskHolds(access_, model_));
  FillAll(2);
  EXPECT_TRUE(DiskHolds(access_, model_));
}

TEST_F(FlashDiskTest, ForeignDataInTheRegionCountsAsFreeSpace) {
  for (size_t i = 0; i < flash_.memory.storage.size(); i++) flash_.memory.storage[i] = static_cast<uint8_t>(i * 3);
  ASSERT_TRUE(DiskHolds(access_, model_));
  FillAll(1);
  EXPECT_TRUE(DiskHolds(access_, model_));
}

TEST_F(FlashDiskTest, WeakProgramMovesTheSectorToTheNextSlot) {
  // The first copy on an empty disk goes to the first slot of the region.
  flash_.weakAt = TestGeometry().base + kTestSectorBytes + 9;
  Run({6, 1});
  Run({7, 1});
  EXPECT_TRUE(DiskHolds(access_, model_));
  FlashDisk disk;
  std::string error;
  ASSERT_TRUE(FlashDiskMount(access_, TestGeometry(), &disk, &error));
  EXPECT_NE(FlashDiskSectorAddress(disk, 6), TestGeometry().base + kTestSectorBytes);
}

// Cuts the power at every program and erase of a run of rewrites and trims
// on a full disk (so blocks are reclaimed on the way): each time, the disk
// must hold every sector as before the cut operation or as after it, a
// trim of the cut sector must stick, and the disk must take writes again.
TEST(FlashDiskPowerCutTest, EveryCutLeavesOldOrNewAndTheDiskRecovers) {
  std::vector<Op> ops;
  for (uint32_t i = 0; i < 24; i++) ops.push_back({(i * 5) % kTestSectors, i % 6 == 5 ? kTrim : 2 + i});

  CutFlash flash;
  ModuleFlash access = CutFlashAccess(&flash);
  auto base = [&](DiskModel* model) {
    CutFlashInit(&flash);
    model->clear();
    for (uint32_t s = 0; s < kTestSectors; s++) {
      ASSERT_TRUE(Apply(access, {s, 1}));
      Record(model, {s, 1});
    }
    flash.changes = 0;
  };
  DiskModel model;
  base(&model);
  for (const Op& op : ops) ASSERT_TRUE(Apply(access, op));
  uint64_t total = flash.changes;
  ASSERT_GT(total, ops.size() * 3);

  for (uint64_t cut = 0; cut <= total; cut++) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " changes");
    base(&model);
    flash.budget = static_cast<int64_t>(cut);
    size_t failed = ops.size();
    for (size_t i = 0; i < ops.size() && failed == ops.size(); i++) {
      if (Apply(access, ops[i])) {
        Record(&model, ops[i]);
      } else {
        failed = i;
      }
    }
    flash.budget = -1;
    flash.cut = false;
    DiskModel after = model;
    if (failed < ops.size()) Record(&after, ops[failed]);
    ASSERT_TRUE(DiskHolds(access, model, after));
    if (failed == ops.size()) continue;

    uint32_t sector = ops[failed].sector;
    ASSERT_TRUE(Apply(access, {sector, kTrim}));
    model.erase(sector);
    ASSERT_TRUE(DiskHolds(access, model)) << "an older copy came back after the trim";
    for (uint32_t s = 0; s < kTestSectors; s++) {
      ASSERT_TRUE(Apply(access, {s, 100}));
      Record(&model, {s, 100});
    }
    ASSERT_TRUE(DiskHolds(access, model));
    ASSERT_TRUE(OutsideRegionErased(flash));
  }
}

}  // namespace
