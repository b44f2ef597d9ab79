#include "tests/backup/backup_fixture.h"

#include <algorithm>
#include <numeric>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/bin_file_format.h"
#include "fwlib/checksum.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/update.h"
#include "fwlib/results.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "platform/platform.h"
#include "storage/flash_disk_driver.h"
#include "storage/store_access.h"
#include "tests/support/module_content.h"
#include "tests/support/program_layers.h"
#include "tests/support/temp_module.h"

BackupLog g_log;

namespace {

int Answer(size_t calls, int stopAt) { return static_cast<int>(calls) != stopAt; }

}  // namespace

int LogSummary(RegionSummary* summary) {
  g_log.summaries.push_back(*summary);
  return 1;
}

int LogSection(uint32_t address, uint32_t length, uint32_t checksum) {
  g_log.sections.push_back({address, length, checksum});
  return 1;
}

int LogBytes(uint32_t section, uint32_t total) {
  g_log.bytes.emplace_back(section, total);
  return Answer(g_log.bytes.size(), g_log.stopBytes);
}

int LogErase(uint32_t done, uint32_t total) {
  g_log.erase.emplace_back(done, total);
  return Answer(g_log.erase.size(), g_log.stopErase);
}

bool ParseBin(const std::vector<uint8_t>& bytes, ParsedBin* bin) {
  if (bytes.size() < BIN_HEADER_BYTES || !IsBinSignature(bytes.data())) {
    ADD_FAILURE() << "no BIN header";
    return false;
  }
  bin->start = LoadLe32(&bytes[BIN_IMAGE_START_OFFSET]);
  bin->length = LoadLe32(&bytes[BIN_IMAGE_LENGTH_OFFSET]);
  size_t at = BIN_HEADER_BYTES;
  while (at + BIN_RECORD_HEADER_BYTES <= bytes.size()) {
    ParsedRecord r = {LoadLe32(&bytes[at]), LoadLe32(&bytes[at + BIN_RECORD_LENGTH_OFFSET]),
                      LoadLe32(&bytes[at + BIN_RECORD_CHECKSUM_OFFSET]), {}};
    at += BIN_RECORD_HEADER_BYTES;
    if (r.address == 0 && r.checksum == 0) {
      bin->endEntry = r.length;
      bin->end = at;
      return true;
    }
    if (r.length > bytes.size() - at) break;
    r.data.assign(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + r.length));
    at += r.length;
    bin->records.push_back(std::move(r));
  }
  ADD_FAILURE() << "BIN part runs past the end of the file";
  return false;
}

void ResetBackupLayers() { ResetProgramLayersForTests(); }

void BackupTest::Attach(const std::vector<std::string>& settings) {
  ResetBackupLayers();
  g_log = BackupLog{};
  dir_ = AttachTempModuleWith(settings, board_);
  ASSERT_FALSE(dir_.empty());
  eraseBlock_ = ModuleEraseBlock(dir_);
  ASSERT_EQ(FWLInit(), FWL_OK);
}

void BackupTest::TearDown() {
  ResetBackupLayers();
  PlatformDetachModule();
}

std::vector<uint8_t> BackupTest::Flash() { return ModuleFlashContent(dir_); }

std::vector<uint8_t> BackupTest::FlashRange(uint32_t offset, uint32_t length) {
  return ModuleFlashContent(dir_, offset, length);
}

std::vector<uint8_t> BackupTest::FlashCells() { return ModuleFlashCells(dir_); }

const char16_t* BackupTest::BackupPath() { return u"\\backup.bin"; }

std::vector<uint8_t> BackupTest::BackupBytes() {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageReadFile(ModuleRootPath(dir_) + "/backup.bin", &bytes, &error)) << error;
  return bytes;
}

FlashRegion Entry(uint32_t id) {
  for (size_t i = 0; i < REGION_COUNT; i++) {
    const FlashRegion& entry = RegionTable()[i];
    if ((entry.id & id) != 0 && (entry.id & REGION_ABSENT) == 0) return entry;
  }
  ADD_FAILURE() << "region 0x" << std::hex << id << " absent";
  return {};
}

namespace {

// The record holds its length of bytes from `flash`, and their byte sum.
void ExpectRecordHolds(const ParsedRecord& r, const uint8_t* flash) {
  SCOPED_TRACE(testing::Message() << "record at 0x" << std::hex << r.address);
  EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), flash));
  EXPECT_EQ(r.checksum, std::accumulate(r.data.begin(), r.data.end(), 0u));
}

}  // namespace

void BackupTest::ExpectRecordsMatchFlash(const ParsedBin& bin, const std::vector<uint8_t>& flash) {
  for (const ParsedRecord& r : bin.records) {
    ASSERT_LE(uint64_t{r.address} + r.length, flash.size());
    ExpectRecordHolds(r, flash.data() + r.address);
  }
}

void BackupTest::ExpectRecordsMatchModule(const ParsedBin& bin) {
  for (const ParsedRecord& r : bin.records) ExpectRecordHolds(r, FlashRange(r.address, r.length).data());
}
