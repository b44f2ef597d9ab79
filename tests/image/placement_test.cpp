// Where an image lands and what the summary says about it: the address
// windows, the file-system stream's region, the CPLD section by processor,
// and the first bootloader of a two-stage boot.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/hardware.h"
#include "fwlib/address_map.h"
#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/platform.h"
#include "tests/image/image_fixture.h"
#include "tests/support/temp_module.h"
#include "tests/support/xsvf_writer.h"

namespace {

constexpr uint32_t kOsBase = 0x80000;
constexpr uint32_t kFsBase = 0x1480000;   // after the registry of the default board
constexpr uint32_t kFlashBytes = 0x2000000;

struct Window {
  uint32_t start;
  bool accepted;
  uint32_t mapped;  // with the board's OS base at 0x100000
};

const Window kWindows[] = {
    {0x00000000, true, 0x00000000},  {0x01480000, true, 0x01480000},  {0x4BFFFFFC, true, 0x4BFFFFFC},
    {0x4C000000, false, 0},          {0x7FFFFFFC, false, 0},          {0x80000000, true, 0x00100000},
    {0x80200000, true, 0x00100000},  {0x9C9FFFFC, true, 0x00100000},  {0x9CA00000, false, 0},
    {0x9FFFFFFC, false, 0},          {0xA0000000, true, 0x00100000},  {0xBC9FFFFC, true, 0x00100000},
    {0xBCA00000, true, 0x00000000},  {0xBFF00000, true, 0x00000000},  {0xBFFFFFFE, true, 0x00000000},
    {0xBFFFFFFF, false, 0},          {0xC0000000, false, 0},
};

class PlacementTest : public ImageTest {};

TEST_F(PlacementTest, EachWindowMapsItsImageStart) {
  Attach({"bsp.os_image_base=0x100000"});
  for (const Window& w : kWindows) {
    SCOPED_TRACE(::testing::Message() << std::hex << w.start);
    uint32_t shift = 0;
    ASSERT_EQ(BinAddressShift(w.start, &shift), w.accepted);
    if (w.accepted) {
      EXPECT_EQ(w.start + shift, w.mapped);
    }
    uint32_t builderShift = 0;
    ASSERT_EQ(BinAddressShiftFor(w.start, 0x100000, &builderShift), w.accepted) << "builder and program agree";
    if (w.accepted) {
      EXPECT_EQ(builderShift, shift);
    }
  }
}

TEST_F(PlacementTest, AnOsImageLandsAtTheBoardsOsBaseOrTheDefaultOne) {
  for (const char* setting : {"bsp.os_image_base=0x100000", "faults.bsp_no_items=5"}) {
    SCOPED_TRACE(setting);
    Attach({setting});
    BinImageSpec spec = OneRecordImage(0x80200000, 0x1000);
    spec.bin.records.push_back({0x80201100, Pattern(0x100, 2)});
    RegionSummary summary = {};
    ASSERT_EQ(Validate(Place(spec), &summary), FWL_OK);
    uint32_t base = std::string(setting).find("os_image_base") != std::string::npos ? 0x100000 : kOsBase;
    EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS);
    EXPECT_EQ(summary.start, base);
    EXPECT_EQ(summary.length, 0x1200u);
    EXPECT_EQ(summary.used, 0x1100u);
    const ImageDescription& image = FwlState()->image;
    EXPECT_EQ(image.mappedStart, base);
    EXPECT_EQ(image.addressShift, base - 0x80200000);
    EXPECT_EQ(image.contents, IMAGE_CONTENT_BIN);
    EXPECT_FALSE(image.refuseUpdate);
    uint32_t mask = REGION_ALL;
    EXPECT_EQ(FWLGetRegionsInArea(&mask, summary.start, summary.length), FWL_OK);
    EXPECT_EQ(mask, REGION_OS_IMAGE);
    TearDown();
  }
}

TEST_F(PlacementTest, ABackupFileKeepsItsFlashOffsets) {
  Attach();
  BinImageSpec spec;
  spec.bin.imageStart = 0x40000;
  spec.bin.imageLength = 0x40000;
  spec.bin.records.push_back({0x40000, Pattern(0x400, 3)});
  RegionSummary summary = {};
  ASSERT_EQ(Validate(Place(spec), &summary), FWL_OK);
  EXPECT_EQ(summary.start, 0x40000u);
  EXPECT_EQ(summary.length, 0x40000u);
  uint32_t mask = REGION_ALL;
  FWLGetRegionsInArea(&mask, summary.start, summary.length);
  EXPECT_EQ(mask, REGION_CONFIG_BLOCK);
}

TEST_F(PlacementTest, AStreamAloneCoversItsRegion) {
  Attach();
  struct Case {
    uint32_t memBase, memLen, start, length;
  } cases[] = {
      {0xFFFFFFFF, 0xFFFFFFFF, kFsBase, kFlashBytes - kFsBase},  // the module's own File System region
      {0xFFFFFFFF, 0, kFsBase, kFlashBytes - kFsBase},
      {kFsBase, kFlashBytes - kFsBase, kFsBase, kFlashBytes - kFsBase},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.memBase);
    BinImageSpec spec;
    spec.hasBinPart = false;
    spec.streams.push_back(SectorStream(3, c.memBase, c.memLen));
    RegionSummary summary = {};
    ASSERT_EQ(Validate(Place(spec), &summary), FWL_OK);
    EXPECT_EQ(summary.flags, REGION_FILE_SYSTEM);
    EXPECT_EQ(summary.start, c.start);
    EXPECT_EQ(summary.length, c.length);
    EXPECT_EQ(summary.used, 3 * 512u + 12);
    EXPECT_EQ(FwlState()->image.contents, IMAGE_CONTENT_FS_STREAM);
    EXPECT_EQ(FwlState()->image.binPartEnd, 0u);
  }
  // A stream lands on this module's File System region only: a header that
  // names another place would have the store formatted there.
  BinImageSpec elsewhere;
  elsewhere.hasBinPart = false;
  elsewhere.streams.push_back(SectorStream(3, 0x1000000, 0x200000));
  EXPECT_EQ(Validate(Place(elsewhere)), FWL_ERR_AREA);
}

TEST_F(PlacementTest, ABinPartAndAStreamSpanBoth) {
  Attach();
  BinImageSpec spec;
  spec.bin.imageStart = 0x1400000;  // the registry, as a backup writes it
  spec.bin.imageLength = 0x80000;
  spec.bin.records.push_back({0x1400000, Pattern(0x800, 4)});
  spec.streams.push_back(SectorStream(2));
  FsStreamSpec damaged;
  damaged.chunks.push_back({7, Pattern(512, 6)});
  damaged.chunkChecksumOff = 0;
  std::vector<uint8_t> second;
  std::string error;
  ASSERT_TRUE(FsStreamBuild(damaged, &second, &error)) << error;
  spec.streams.push_back(second);  // not the validation's business, damaged or not
  RegionSummary summary = {};
  ASSERT_EQ(Validate(Place(spec), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS | REGION_FILE_SYSTEM);
  EXPECT_EQ(summary.start, 0x1400000u);
  EXPECT_EQ(summary.length, kFlashBytes - 0x1400000);
  EXPECT_EQ(summary.used, 0x800u + 2 * 512 + 12) << "only the first stream counts";
  uint32_t mask = REGION_ALL;
  FWLGetRegionsInArea(&mask, summary.start, summary.length);
  EXPECT_EQ(mask, REGION_REGISTRY | REGION_FILE_SYSTEM);

}

TEST_F(PlacementTest, ALongerStreamHeaderIsReadWhole) {
  Attach();
  FsStreamSpec stream;
  stream.headerBytes = 512;
  stream.chunks.push_back({0, Pattern(512, 8)});
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(FsStreamBuild(stream, &bytes, &error));
  BinImageSpec spec;
  spec.hasBinPart = false;
  spec.streams.push_back(bytes);
  RegionSummary summary = {};
  EXPECT_EQ(Validate(Place(spec), &summary), FWL_OK);
  EXPECT_EQ(summary.used, 512u + 12);
}

TEST_F(PlacementTest, NothingForThisHardwareIsNoError) {
  Attach();
  RegionSummary summary = {1, 2, 3, 4};
  ASSERT_EQ(Validate(PlaceBytes(Pattern(1000, 9)), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, 0u);
  EXPECT_EQ(FwlState()->image.contents, 0u);
  ASSERT_EQ(Validate(PlaceBytes({}), &summary), FWL_OK) << "an empty file";
  EXPECT_EQ(summary.flags, 0u);
}

TEST_F(PlacementTest, ACpldSectionCountsOnlyWhereThereIsACpld) {
  Attach();
  BinImageSpec spec = OneRecordImage(0x80000000, 64);
  spec.hasCpld = true;
  spec.cpld.data = XsvfVendorFile("xc2c64a-idcode.xsvf");  // 94 bytes, padded to whole words by the builder
  spec.cpld.mode = 2;
  std::u16string path = Place(spec);
  RegionSummary summary = {};
  ASSERT_EQ(Validate(path, &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS) << "checked, then ignored on the NOR module";
  EXPECT_EQ(FwlState()->image.contents, IMAGE_CONTENT_BIN);

  // The same library on a processor that carries a CPLD.
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {"board.cpu_part_code=8"}));
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  HardwareReset();
  ASSERT_EQ(CpuPartCode(), 8u);
  ASSERT_EQ(Validate(path, &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS | REGION_CPLD_FIRMWARE);
  EXPECT_EQ(FwlState()->image.contents, IMAGE_CONTENT_BIN | IMAGE_CONTENT_CPLD);
}

// ---- The first bootloader of a two-stage boot ----

constexpr uint32_t kSecondBootloaderBase = 0x80000;  // the two-stage board's default

TEST_F(PlacementTest, ABootloaderImageMovesOntoTheSecondBootloader) {
  Attach({"board.two_stage=true"});
  BinImageSpec spec = OneRecordImage(0xBCA00000, 0x1000);
  RegionSummary summary = {};
  ASSERT_EQ(Validate(Place(spec), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS | REGION_FIRST_BOOTLOADER);
  EXPECT_EQ(summary.start, kSecondBootloaderBase);
  EXPECT_FALSE(FwlState()->image.refuseUpdate);
  EXPECT_EQ(FwlState()->image.addressShift, kSecondBootloaderBase - 0xBCA00000);
  uint32_t mask = REGION_SECOND_BOOTLOADER;
  EXPECT_EQ(FWLGetRegionsInArea(&mask, summary.start, summary.length), FWL_OK);
  EXPECT_EQ(mask, REGION_SECOND_BOOTLOADER);
}

TEST_F(PlacementTest, ABootloaderImageThatCannotMoveIsAcceptedButRefusedForUpdate) {
  Attach({"board.two_stage=true", "faults.bsp_no_items=5"});
  RegionSummary summary = {};
  ASSERT_EQ(Validate(Place(OneRecordImage(0xBCA00000, 0x1000)), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS | REGION_FIRST_BOOTLOADER);
  EXPECT_EQ(summary.start, 0u);
  EXPECT_TRUE(FwlState()->image.refuseUpdate);
}

TEST_F(PlacementTest, ImagesAboveTheFirstBootloaderOrOnOneStageBoardsStayPut) {
  Attach({"board.two_stage=true"});
  RegionSummary summary = {};
  ASSERT_EQ(Validate(Place(OneRecordImage(0x40000, 0x100)), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS);
  EXPECT_EQ(summary.start, 0x40000u);
  TearDown();
  Attach();
  ASSERT_EQ(Validate(Place(OneRecordImage(0xBCA00000, 0x100)), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS);
  EXPECT_EQ(summary.start, 0u);
}

}  // namespace
