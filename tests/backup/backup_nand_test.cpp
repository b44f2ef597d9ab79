// The NAND side of a backup: every region is read with error correction on,
// behind a stand-in read slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "flash/flash_layer.h"
#include "fwlib/backup.h"
#include "fwlib/results.h"
#include "tests/backup/backup_fixture.h"

namespace {

struct NandReads {
  std::vector<uint8_t> flash;
  int ecc = 0;
  uint32_t errorAt = UINT32_MAX;        // reads with correction on covering it report a corrected error
  std::vector<int> eccPerRead;
  uint32_t failAt = UINT32_MAX;         // a read covering it fails
};
NandReads g_nand;

uint32_t NandRead(uint32_t* destination, uint32_t offset, uint32_t length) {
  g_nand.eccPerRead.push_back(g_nand.ecc);
  if (g_nand.failAt >= offset && g_nand.failAt - offset < length) return 0;
  std::copy_n(g_nand.flash.begin() + offset, length, reinterpret_cast<uint8_t*>(destination));
  bool hit = g_nand.ecc != 0 && g_nand.errorAt >= offset && g_nand.errorAt - offset < length;
  FlashError = hit ? FLASH_ERR_ECC_CORRECTED : FLASH_ERR_NONE;
  return 1;
}

int NandSetEcc(int on) {
  int previous = g_nand.ecc;
  g_nand.ecc = on;
  return previous;
}

class BackupNandTest : public BackupTest {
 protected:
  // On the attached module, so that region bases are known.
  void Install(uint32_t errorAt) {
    g_nand = NandReads{Flash(), 0, errorAt, {}, UINT32_MAX};
    saved_ = FlashOps;
    savedType_ = FlashType;
    FlashOps.Read = NandRead;
    FlashOps.SetEcc = NandSetEcc;
    FlashType = FLASH_TYPE_NAND;
  }
  void TearDown() override {
    FlashOps = saved_;
    FlashType = savedType_;
    BackupTest::TearDown();
  }
  FlashOpsTable saved_ = {};
  uint32_t savedType_ = 0;
};

TEST_F(BackupNandTest, CleanRegionIsReadWithCorrection) {
  Attach();
  Install(UINT32_MAX);
  ASSERT_EQ(FWLBackupToFile(BackupPath(), REGION_BOOTLOADER, nullptr, nullptr, nullptr), FWL_OK);
  ASSERT_FALSE(g_nand.eccPerRead.empty());
  EXPECT_TRUE(std::all_of(g_nand.eccPerRead.begin(), g_nand.eccPerRead.end(), [](int on) { return on == 1; }));
  EXPECT_EQ(g_nand.ecc, 0) << "previous setting restored";
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  ExpectRecordsMatchFlash(bin, g_nand.flash);
}

// A corrected bit error at a region's start is no reason to save it raw:
// the raw bytes would carry the error into the file.
TEST_F(BackupNandTest, CorrectedBitErrorKeepsCorrectionOn) {
  Attach();
  Install(Entry(REGION_CONFIG_BLOCK).base);
  ASSERT_EQ(FWLBackupToFile(BackupPath(), REGION_BOOTLOADER | REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr),
            FWL_OK);
  EXPECT_TRUE(std::all_of(g_nand.eccPerRead.begin(), g_nand.eccPerRead.end(), [](int on) { return on == 1; }));
  EXPECT_EQ(g_nand.ecc, 0);
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  ASSERT_EQ(bin.records.size(), 2u);
  ExpectRecordsMatchFlash(bin, g_nand.flash);
}

TEST_F(BackupNandTest, ReadFailureEndsTheBackupWithTheSettingRestored) {
  Attach();
  Install(UINT32_MAX);
  g_nand.failAt = Entry(REGION_CONFIG_BLOCK).base;
  EXPECT_EQ(FWLBackupToFile(BackupPath(), REGION_BOOTLOADER | REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr),
            FWL_ERR_FLASH_READ);
  EXPECT_EQ(g_nand.ecc, 0);
  // Nothing is left half-set for the next backup.
  g_nand.failAt = UINT32_MAX;
  EXPECT_EQ(FWLBackupToFile(BackupPath(), REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr), FWL_OK);
}

}  // namespace
