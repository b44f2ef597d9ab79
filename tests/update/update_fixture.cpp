#include "tests/update/update_fixture.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/bin_file.h"
#include "fwlib/checksum.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "module/module_dir.h"
#include "platform/platform.h"
#include "storage/flash_disk_driver.h"
#include "tests/support/flash_lock_probe.h"
#include "storage/store_access.h"
#include "tests/support/program_layers.h"
#include "tests/support/temp_module.h"

CallbackLog g_log;

namespace {

bool Answer(int calls, int stopAt) { return calls != stopAt; }

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

void ResetUpdateLayers() { ResetProgramLayersForTests(); }

void UpdateTest::Attach(const std::vector<std::string>& settings) {
  ResetUpdateLayers();
  g_log = CallbackLog{};
  dir_ = AttachTempModuleWith(settings);
  ASSERT_FALSE(dir_.empty());
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

std::vector<uint8_t> UpdateTest::Flash() {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageReadFile(ModuleFlashPath(dir_), &bytes, &error)) << error;
  return bytes;
}

void UpdateTest::PutFlash(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream image(ModuleFlashPath(dir_), std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(image.is_open());
  image.seekp(offset);
  image.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(image.good());
}

std::vector<uint8_t> Expected(const std::vector<uint8_t>& before, const BinImageSpec& spec, uint32_t shift,
                              size_t firstUnwritten) {
  std::vector<uint8_t> out = before;
  uint64_t start = uint64_t{spec.bin.imageStart + shift};
  uint64_t length = spec.bin.imageLength;
  if (length == 0) {
    for (const BinRecord& r : spec.bin.records) length = std::max(length, r.address + r.data.size() - spec.bin.imageStart);
  }
  uint64_t from = start / kEraseBlock * kEraseBlock;
  uint64_t to = (start + length + kEraseBlock - 1) / kEraseBlock * kEraseBlock;
  if (length != 0) std::fill(out.begin() + static_cast<long>(from), out.begin() + static_cast<long>(to), 0xFF);
  for (size_t i = 0; i < spec.bin.records.size() && i < firstUnwritten; i++) {
    const BinRecord& r = spec.bin.records[i];
    std::copy(r.data.begin(), r.data.end(), out.begin() + (r.address + shift));
  }
  return out;
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


