#include "tests/image/image_fixture.h"

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
#include "storage/store_access.h"
#include "tests/support/temp_module.h"

void ResetImageLayers() {
  FWLResetForTests();
  UpdateResetForTests();
  ChecksumResetForTests();
  StoreAccessResetForTests();
  FlashLayerResetForTests();
  NorResetForTests();
  HardwareReset();
}

void ImageTest::Attach(const std::vector<std::string>& settings) {
  ResetImageLayers();
  dir_ = AttachTempModuleWith(settings);
  ASSERT_FALSE(dir_.empty());
  ASSERT_EQ(FWLInit(), FWL_OK);
}

void ImageTest::TearDown() {
  ResetImageLayers();
  PlatformDetachModule();
}

std::u16string ImageTest::Place(const BinImageSpec& spec, const char* name) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageBuild(spec, &bytes, &error)) << error;
  return PlaceBytes(bytes, name);
}

std::u16string ImageTest::PlaceBytes(const std::vector<uint8_t>& bytes, const char* name) {
  std::string error;
  EXPECT_TRUE(BinImageStore(dir_, name, bytes, &error)) << error;
  return ImagePath(name);
}

uint32_t ImageTest::Validate(const std::u16string& path, RegionSummary* summary, int verify) {
  return FWLSetBinFile(path.c_str(), summary, nullptr, verify);
}

std::u16string ImagePath(const char* name) {
  std::u16string path = kModuleImagesPath;
  for (const char* c = name; *c != 0; c++) path.push_back(static_cast<char16_t>(*c));
  return path;
}

std::vector<uint8_t> SectorStream(uint32_t sectors, uint32_t memBase, uint32_t memLen) {
  FsStreamSpec spec;
  spec.memBase = memBase;
  spec.memLen = memLen;
  spec.chunks.push_back({7, Pattern(sectors * 512, 99)});
  std::vector<uint8_t> stream;
  std::string error;
  EXPECT_TRUE(FsStreamBuild(spec, &stream, &error)) << error;
  return stream;
}
