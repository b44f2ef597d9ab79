#include <gtest/gtest.h>

#include <cstring>

#include "module/factory_images.h"
#include "tests/factory/rom_rule.h"

namespace {

constexpr uint32_t kFlashBytes = 0x100000;

std::vector<uint8_t> Erased(uint32_t bytes = kFlashBytes) { return std::vector<uint8_t>(bytes, 0xFF); }

RomImageSpec Spec(uint32_t bytes) {
  RomImageSpec spec;
  spec.bytes = bytes;
  spec.modules = {"nk.exe", "coredll.dll"};
  spec.builtFileTime = FileTimeFromDate({2009, 3, 5, 14, 3, 7});
  return spec;
}

void Place(std::vector<uint8_t>* flash, uint32_t at, const std::vector<uint8_t>& bytes) {
  std::string error;
  ASSERT_TRUE(FactoryPlace(std::span<uint8_t>(*flash), at, bytes, &error)) << error;
}

TEST(RomImage, EitherValidityRuleAloneMakesAnImageAndNeitherRefusesIt) {
  struct Case {
    bool addressMatches, ramIncreasing, valid;
  } cases[] = {{true, true, true}, {true, false, true}, {false, true, true}, {false, false, false}};
  for (const Case& c : cases) {
    RomImageSpec spec = Spec(0x20000);
    spec.headerAddressMatches = c.addressMatches;
    spec.ramWordsIncreasing = c.ramIncreasing;
    std::vector<uint8_t> image, flash = Erased();
    std::string error;
    ASSERT_TRUE(RomImageBuild(spec, &image, &error)) << error;
    Place(&flash, 0x40000, image);
    uint32_t size = 0;
    EXPECT_EQ(RuleRomImageValid(flash, 0x40000, &size), c.valid) << c.addressMatches << c.ramIncreasing;
    RomImageFound found;
    EXPECT_EQ(RomImageFind(flash, 0x40000, &found), c.valid);
    if (c.valid) {
      EXPECT_EQ(size, 0x20000u);
      EXPECT_EQ(StoredImageSize(flash, 0x40000), 0x20000u);
      EXPECT_EQ(found.modules, 2u);
      EXPECT_TRUE(found.hasModuleTime);
      EXPECT_EQ(found.moduleFileTime, 128807353870000000ull) << "2009-03-05 14:03:07 UTC as a file time";
    }
  }
}

TEST(RomImage, ImageSizeFollowsTheSkippedStartAndCompressedRecords) {
  std::vector<uint8_t> image, flash = Erased();
  std::string error;
  ASSERT_TRUE(RomImageBuild(Spec(0x10000), &image, &error)) << error;
  Place(&flash, kRomLoaderSkip, image);
  EXPECT_EQ(RuleImageSize(flash, 0), 0x18000u);
  EXPECT_EQ(StoredImageSize(flash, 0), 0x18000u);

  std::vector<uint8_t> payload(300, 0x5A);
  Place(&flash, 0x80000, CompRecordBuild(payload));
  EXPECT_EQ(RuleImageSize(flash, 0x80000), 320u);
  EXPECT_EQ(StoredImageSize(flash, 0x80000), 320u);
  EXPECT_EQ(StoredImageSize(flash, 0xC0000), 0u) << "erased flash holds no image";
}

TEST(RomImage, BuilderRefusesImagesItCannotMake) {
  std::vector<uint8_t> image;
  std::string error;
  EXPECT_FALSE(RomImageBuild(Spec(0x80), &image, &error)) << "no room for header and module table";
  EXPECT_FALSE(RomImageBuild(Spec(0x10002), &image, &error)) << "not whole words";
  RomImageSpec spec = Spec(0x10000);
  spec.physFirst = 0x8FFF8000;
  EXPECT_FALSE(RomImageBuild(spec, &image, &error)) << "last address leaves the window";
  spec = Spec(0x10000);
  spec.modules.clear();
  EXPECT_FALSE(RomImageBuild(spec, &image, &error));
  EXPECT_FALSE(error.empty());
}

TEST(RomImage, ReadersStayInsideTheFlash) {
  // A header offset pointing past the end, and signatures in the last bytes.
  std::vector<uint8_t> flash = Erased(0x100);
  const uint32_t pointers[] = {kRomSignature, 0x80000000, 0xFFFFFF00};
  std::memcpy(flash.data() + kRomSignatureOffset, pointers, sizeof pointers);
  RomImageFound found;
  EXPECT_FALSE(RomImageFind(flash, 0, &found));
  EXPECT_FALSE(RomImageFind(flash, 0xFC, &found));
  EXPECT_EQ(StoredImageSize(flash, 0xFFFFFFF0), 0u);
  const uint32_t opening = kVersionOpenMarker;
  std::memcpy(flash.data() + 0xF8, &opening, sizeof opening);
  StoredVersion version;
  uint32_t at;
  EXPECT_FALSE(VersionRecordFind(flash, 0, 0x100, &version, &at));
  uint32_t used;
  const uint32_t comp = kCompSignature;
  std::memcpy(flash.data() + 0xFC, &comp, sizeof comp);
  EXPECT_EQ(StoredImageSize(flash, 0xFC), 0u) << "a record cut off by the end is no record";
  EXPECT_FALSE(ConfigBlockFind(flash, 0xFE, 0x40000, &used));
}

TEST(VersionRecord, FirstCompleteRecordWinsAndWholePagesAreSearched) {
  std::vector<uint8_t> flash = Erased();
  std::string error;
  // A record whose closing marker is wrong comes first and must be skipped.
  ASSERT_TRUE(VersionRecordPut(flash, 0x100, {1, 9, 9, 0}, &error));
  const uint32_t wrongClose = 0x89ABCDEE;
  std::memcpy(flash.data() + 0x100 + 16, &wrongClose, sizeof wrongClose);
  ASSERT_TRUE(VersionRecordPut(flash, 0xF00, {1, 2, 5, 17}, &error));
  StoredVersion v;
  uint32_t at = 0;
  // Asked for 16 bytes, the search still covers the page.
  ASSERT_TRUE(VersionRecordFind(flash, 0, 16, &v, &at));
  EXPECT_EQ(at, 0xF00u);
  EXPECT_EQ(v.family, 1u);
  EXPECT_EQ(v.major, 2u);
  EXPECT_EQ(v.minor, 5u);
  EXPECT_EQ(v.build, 17u);
  EXPECT_FALSE(VersionRecordFind(flash, 0x1000, 0x1000, &v, &at));

  EXPECT_FALSE(VersionRecordPut(flash, 0x102, {}, &error)) << "records are word aligned";
  EXPECT_FALSE(VersionRecordPut(flash, kFlashBytes - 16, {}, &error));
  EXPECT_FALSE(VersionRecordPut(flash, 0, {1, 1, 0x10000, 0}, &error)) << "minor has 16 bits";
}

TEST(Banner, ReadsBackVersionAndDate) {
  std::vector<uint8_t> flash = Erased();
  std::string error;
  ASSERT_TRUE(BannerPut(flash, 0x9003, 1, 3, {2010, 10, 21}, &error)) << error;
  BannerFound b;
  ASSERT_TRUE(BannerFind(flash, kBannerSearchStart, kBannerSearchBytes, &b));
  EXPECT_EQ(b.at, 0x9003u);
  EXPECT_EQ(b.major, 1u);
  EXPECT_EQ(b.minor, 3u);
  EXPECT_EQ(b.built.year, 2010u);
  EXPECT_EQ(b.built.month, 10u);
  EXPECT_EQ(b.built.day, 21u);
  const char* text = reinterpret_cast<const char*>(flash.data() + 0x9003);
  EXPECT_STREQ(text, "Microsoft Windows CE Ethernet Bootloader 1.3 for Valmora Wrenlet Built Oct 21 2010\r\n");
  EXPECT_FALSE(BannerFind(flash, 0x9004, 0x1000, &b)) << "the opening must lie in the range";
  EXPECT_FALSE(BannerPut(flash, kFlashBytes - 20, 1, 3, {2010, 10, 21}, &error));
  EXPECT_FALSE(BannerPut(flash, 0, 1, 3, {2010, 13, 21}, &error));
}

TEST(ConfigBlock, UsedBytesEndAtTheFirstErasedWord) {
  for (uint32_t bytes : {4u, 0x400u, 0x1004u}) {
    std::vector<uint8_t> flash = Erased(), block;
    std::string error;
    ASSERT_TRUE(ConfigBlockBuild(bytes, 7, &block, &error)) << error;
    Place(&flash, kConfigBlockBase, block);
    uint32_t used = 0;
    ASSERT_TRUE(ConfigBlockFind(flash, kConfigBlockBase, kConfigBlockRegionBytes, &used));
    EXPECT_EQ(used, bytes);
  }
  std::vector<uint8_t> flash = Erased(), block;
  std::string error;
  ASSERT_TRUE(ConfigBlockBuild(kConfigBlockRegionBytes, 7, &block, &error));
  Place(&flash, kConfigBlockBase, block);
  uint32_t used = 0;
  ASSERT_TRUE(ConfigBlockFind(flash, kConfigBlockBase, kConfigBlockRegionBytes, &used));
  EXPECT_EQ(used, kConfigBlockRegionBytes) << "a full block reports the bytes scanned";
  EXPECT_FALSE(ConfigBlockFind(Erased(), kConfigBlockBase, kConfigBlockRegionBytes, &used));
  EXPECT_FALSE(ConfigBlockBuild(6, 7, &block, &error));
  EXPECT_FALSE(ConfigBlockBuild(kConfigBlockRegionBytes + 4, 7, &block, &error));
}

TEST(FactoryPlace, ProgramsFlashAndRefusesWhatDoesNotFit) {
  MemoryFlash mem;
  MemoryFlashInit(&mem, 0x80000, 0x40000);
  ModuleFlash flash = RawFlashAccess(&mem.raw);
  std::vector<uint8_t> record = SscrRecordBuild(0x40, 3);
  std::string error;
  ASSERT_TRUE(FactoryPlace(flash, 0x1000, record, &error)) << error;
  uint32_t recordBytes = 0;
  ASSERT_TRUE(SscrRecordFind(mem.storage, 0x1000, &recordBytes));
  EXPECT_EQ(recordBytes, 0x50u);
  EXPECT_FALSE(FactoryPlace(flash, 0x80000 - 8, record, &error));
  std::vector<uint8_t> small(16, 0xFF);
  EXPECT_FALSE(FactoryPlace(std::span<uint8_t>(small), 8, record, &error));
  EXPECT_EQ(small, std::vector<uint8_t>(16, 0xFF)) << "a refused placement writes nothing";
}

}  // namespace
