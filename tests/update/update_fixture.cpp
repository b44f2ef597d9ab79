#include "tests/update/update_fixture.h"

#include <algorithm>
#include <cstdio>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/bin_file.h"
#include "fwlib/checksum.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "module/module_dir.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "storage/flash_disk_driver.h"
#include "tests/support/flash_lock_probe.h"
#include "storage/store_access.h"
#include "tests/support/module_content.h"
#include "tests/support/program_layers.h"
#include "tests/support/temp_module.h"

CallbackLog g_log;

namespace {

bool Answer(int calls, int stopAt) { return calls != stopAt; }

// The boot ROM of the NAND board's processor starts only a loader that
// carries this word in its bytes 4-7; the program's driver puts it there.
constexpr uint32_t kNandBootMarker = 0x54494D48;
constexpr uint32_t kNandBootMarkerAt = 4;
constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kBitsPerByte = 8;

}  // namespace

int LogErase(uint32_t a, uint32_t b) {
  g_log.erase.emplace_back(a, b);
  return Answer(static_cast<int>(g_log.erase.size()), g_log.stopErase);
}

int LogSection(uint32_t address, uint32_t length, uint32_t checksum) {
  g_log.sections.push_back({address, length, checksum});
  return Answer(static_cast<int>(g_log.sections.size()), g_log.stopSection);
}

int LogBytes(uint32_t section, uint32_t total) {
  g_log.bytes.emplace_back(section, total);
  return Answer(static_cast<int>(g_log.bytes.size()), g_log.stopBytes);
}

FsStreamSpec ThisStoreStream() {
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  HANDLE store = OpenStore(FwlState()->storeDeviceName);
  EXPECT_TRUE(GetStoreInfo(store, &info));
  CloseHandle(store);
  RegionSummary fs = {REGION_FILE_SYSTEM, 0, 0, 0};
  EXPECT_EQ(FWLGetRegionInfo(&fs, nullptr), FWL_OK);
  FsStreamSpec stream;
  stream.memBase = fs.start;
  stream.memLen = fs.length;
  stream.storeSectors = info.snNumSectors;
  stream.chunks.push_back({12000, Pattern(2 * 512, 9)});
  return stream;
}

void ResetUpdateLayers() { ResetProgramLayersForTests(); }

void UpdateTest::Attach(const std::vector<std::string>& settings) {
  ResetUpdateLayers();
  g_log = CallbackLog{};
  dir_ = AttachTempModuleWith(settings, board_);
  ASSERT_FALSE(dir_.empty());
  eraseBlock_ = ModuleEraseBlock(dir_);
  ASSERT_EQ(FWLInit(), FWL_OK);
}

void UpdateTest::TearDown() {
  ResetUpdateLayers();
  PlatformDetachModule();
}

std::u16string UpdateTest::Place(const BinImageSpec& spec, const char* name) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageBuild(spec, &bytes, &error)) << error;
  EXPECT_TRUE(BinImageStore(dir_, name, bytes, &error)) << error;
  std::u16string path = kModuleImagesPath;
  for (const char* c = name; *c != 0; c++) path.push_back(static_cast<char16_t>(*c));
  return path;
}

uint32_t UpdateTest::Update(const std::u16string& path, int verify) {
  uint32_t result = FWLSetBinFile(path.c_str(), nullptr, nullptr, verify);
  if (result != FWL_OK) return result;
  result = FWLDoUpdate(LogErase, LogSection, LogBytes);
  FWLCloseFile();
  // Whatever became of it, the module's own flash driver must get the lock.
  EXPECT_TRUE(OtherProcessTakesFlashLock(2000)) << "the update kept the flash lock (result " << result << ")";
  return result;
}

std::vector<uint8_t> UpdateTest::Flash() { return ModuleFlashContent(dir_); }

std::vector<uint8_t> UpdateTest::FlashRange(uint32_t offset, uint32_t length) {
  return ModuleFlashContent(dir_, offset, length);
}

std::vector<uint8_t> UpdateTest::FlashCells() { return ModuleFlashCells(dir_); }

void UpdateTest::PutFlash(uint32_t offset, const std::vector<uint8_t>& bytes) { ModuleFlashPut(dir_, offset, bytes); }

std::vector<uint8_t> UpdateTest::Expected(const std::vector<uint8_t>& before, const BinImageSpec& spec, uint32_t shift,
                                          size_t firstUnwritten) const {
  std::vector<uint8_t> out = before;
  if (eraseBlock_ == 0) return out;  // no module attached
  uint64_t start = uint64_t{spec.bin.imageStart + shift};
  uint64_t length = spec.bin.imageLength;
  if (length == 0) {
    for (const BinRecord& r : spec.bin.records) length = std::max(length, r.address + r.data.size() - spec.bin.imageStart);
  }
  uint64_t from = start / eraseBlock_ * eraseBlock_;
  uint64_t to = (start + length + eraseBlock_ - 1) / eraseBlock_ * eraseBlock_;
  if (length != 0) std::fill(out.begin() + static_cast<long>(from), out.begin() + static_cast<long>(to), 0xFF);
  for (size_t i = 0; i < spec.bin.records.size() && i < firstUnwritten; i++) {
    const BinRecord& r = spec.bin.records[i];
    std::vector<uint8_t> stored = AsWritten(r.data, r.address + shift);
    std::copy(stored.begin(), stored.end(), out.begin() + (r.address + shift));
  }
  return out;
}

std::vector<uint8_t> UpdateTest::AsWritten(std::vector<uint8_t> data, uint32_t at) const {
  for (uint32_t k = 0; Nand() && k < kWordBytes; k++) {
    uint32_t b = kNandBootMarkerAt + k;
    if (b >= at && b - at < data.size()) data[b - at] = static_cast<uint8_t>(kNandBootMarker >> (kBitsPerByte * k));
  }
  return data;
}

std::string Differences(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::string text;
  int shown = 0;
  size_t count = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); i++) {
    if (a[i] == b[i]) continue;
    count++;
    if (shown++ < 8) {
      char line[64];
      std::snprintf(line, sizeof line, " 0x%zX: %02X/%02X", i, a[i], b[i]);
      text += line;
    }
  }
  return std::to_string(count) + " bytes differ" + text;
}

bool SameOutside(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint64_t from, uint64_t to) {
  if (a.size() != b.size()) return false;
  return std::equal(a.begin(), a.begin() + static_cast<long>(from), b.begin()) &&
         std::equal(a.begin() + static_cast<long>(to), a.end(), b.begin() + static_cast<long>(to));
}


