#include "tests/fwlib/library_fixture.h"

#include <cstdio>
#include <fstream>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/library_state.h"
#include "module/factory_images.h"
#include "module/module_dir.h"
#include "platform/platform.h"
#include "storage/store_access.h"
#include "tests/support/temp_module.h"

void ResetProgramLayers() {
  FWLResetForTests();
  StoreAccessResetForTests();
  FlashLayerResetForTests();
  NorResetForTests();
  HardwareReset();
}

std::string Describe(const FlashRegion& r) {
  char text[96];
  std::snprintf(text, sizeof text, "{id 0x%08X base 0x%X length 0x%X used 0x%X}", r.id, r.base, r.length, r.used);
  return text;
}

void LibraryTest::Attach(const std::vector<std::string>& settings) {
  ResetProgramLayers();
  dir_ = AttachTempModuleWith(settings);
  ASSERT_FALSE(dir_.empty());
}

void LibraryTest::TearDown() {
  ResetProgramLayers();
  PlatformDetachModule();
}

void LibraryTest::Reconfigure(const std::vector<std::string>& settings) {
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, settings));
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
}

void LibraryTest::PutBytes(uint32_t offset, const std::vector<uint8_t>& bytes) {
  std::fstream image(ModuleFlashPath(dir_), std::ios::in | std::ios::out | std::ios::binary);
  ASSERT_TRUE(image.is_open());
  image.seekp(offset);
  image.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(image.good());
}

void LibraryTest::PutWords(uint32_t offset, const std::vector<uint32_t>& words) {
  std::vector<uint8_t> bytes;
  for (uint32_t w : words) {
    for (int i = 0; i < 4; i++) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  PutBytes(offset, bytes);
}

void LibraryTest::Erase(uint32_t offset, uint32_t length) { PutBytes(offset, std::vector<uint8_t>(length, 0xFF)); }

void LibraryTest::PutRomImage(uint32_t offset, const RomImageOptions& options) {
  RomImageSpec spec;
  spec.bytes = options.bytes;
  spec.headerAddressMatches = options.headerAddressMatches;
  spec.ramWordsIncreasing = options.ramWordsIncreasing;
  std::vector<uint8_t> image;
  std::string error;
  ASSERT_TRUE(RomImageBuild(spec, &image, &error)) << error;
  PutBytes(offset, image);
}

void LibraryTest::PutCompImage(uint32_t offset, uint32_t payloadBytes) {
  PutBytes(offset, CompRecordBuild(std::vector<uint8_t>(payloadBytes, 0x5A)));
}

void LibraryTest::PutSscrRecord(uint32_t offset, uint32_t signatureBytes) {
  PutBytes(offset, SscrRecordBuild(signatureBytes, 1));
}

FlashRegion LibraryTest::Entry(uint32_t id) {
  for (size_t i = 0; i < REGION_COUNT; i++) {
    if ((RegionTable()[i].id & id & REGION_ID_BITS) != 0) return RegionTable()[i];
  }
  ADD_FAILURE() << "no table entry for region " << id;
  return FlashRegion{};
}
