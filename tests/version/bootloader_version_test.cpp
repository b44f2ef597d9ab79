// The bootloader's version: the record in its flash range dated by its ROM
// image, or the older bootloader's text banner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/image_size.h"
#include "module/factory_images.h"
#include "platform/datetime.h"
#include "tests/version/version_fixture.h"

namespace {

using BootloaderVersionTest = VersionTest;

// Scratch flash with no ROM image at it or 0x8000 in (the config block).
constexpr uint32_t kScratch = kConfigBlockBase;
constexpr uint32_t kPage = kVersionScanPage;

std::vector<uint8_t> WithRecords(uint32_t bytes, const std::vector<std::pair<uint32_t, StoredVersion>>& records) {
  std::vector<uint8_t> flash(bytes, 0xFF);
  std::string error;
  for (const auto& [at, version] : records) EXPECT_TRUE(VersionRecordPut(flash, at, version, &error)) << error;
  return flash;
}

std::vector<uint8_t> Text(const std::string& text) { return {text.begin(), text.end()}; }

TEST_F(BootloaderVersionTest, FactoryRecordIsDatedByTheRomImage) {
  struct Case {
    std::vector<std::string> settings;
    ImageVersion version;
    const char* date;
  } const cases[] = {
      {{}, Version(1, 1, 4), "20 Nov 2008 9:30:00 (GMT)"},
      {{"factory.bootloader_major=2", "factory.bootloader_minor=7", "factory.bootloader_build=5",
        "factory.bootloader_built=2011-02-03 23:04:05"},
       Version(1, 2, 7, 5), "03 Feb 2011 23:04:05 (GMT)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.date);
    Attach(c.settings);
    ASSERT_EQ(Bootloader(0, kBootloaderRegionBytes), 1u);
    EXPECT_EQ(version_, c.version);
    EXPECT_EQ(date_, c.date);
  }
}

TEST_F(BootloaderVersionTest, SecondBootloaderWithinItsImage) {
  Attach({"board.two_stage=true", "factory.second_bootloader_major=3", "factory.second_bootloader_minor=2"});
  BspFlashLayout layout;
  ASSERT_NE(BspGetInfo(BSP_INFO_FLASH_LAYOUT, &layout, sizeof layout), 0u);
  uint32_t size = FWLGetImageSize(layout.secondBootloaderBase);
  ASSERT_NE(size, 0u);
  ASSERT_EQ(Bootloader(layout.secondBootloaderBase, size), 1u);
  EXPECT_EQ(version_, Version(1, 3, 2));
  EXPECT_EQ(date_, "20 Nov 2008 9:30:00 (GMT)");
  ASSERT_EQ(Bootloader(0, kBootloaderRegionBytes), 1u);
  EXPECT_EQ(version_, Version(1, 1, 4));
}

TEST_F(BootloaderVersionTest, SecondBootloaderBannerIsSearchedFromItsOwnBase) {
  // The first bootloader carries a banner too; it must not answer for the second.
  Attach({"board.two_stage=true", "factory.bootloader=banner", "factory.bootloader_major=1",
          "factory.bootloader_minor=3"});
  BspFlashLayout layout;
  ASSERT_NE(BspGetInfo(BSP_INFO_FLASH_LAYOUT, &layout, sizeof layout), 0u);
  constexpr uint32_t kSecondBytes = 0x20000;
  Place(layout.secondBootloaderBase, std::vector<uint8_t>(kSecondBytes, 0xFF));
  EXPECT_EQ(Bootloader(layout.secondBootloaderBase, kSecondBytes), 0u) << "neither record nor banner of its own";
  Place(layout.secondBootloaderBase + kBannerSearchStart + 0x100,
        Text(std::string(kBannerOpening) + "2.5 for Valmora Wrenlet Built Mar 4 2012\r\n"));
  ASSERT_EQ(Bootloader(layout.secondBootloaderBase, kSecondBytes), 1u);
  EXPECT_EQ(version_, Version(1, 2, 5));
}

TEST_F(BootloaderVersionTest, RecordSearchInPagesInAddressOrder) {
  Attach();
  std::vector<uint8_t> flash = WithRecords(3 * kPage, {{0x10, {1, 9, 9, 0}}, {kPage - 4, {1, 2, 5, 0}},
                                                       {kPage + 0x100, {1, 7, 0, 0}}});
  // A wrong closing marker: the record is skipped and the search goes on.
  flash[0x10 + kVersionRecordBytes - 1] = 0x00;
  Place(kScratch, flash);

  // The winner straddles the page end; a range of one word still reads a whole page.
  for (uint32_t length : {kPage, 4u}) {
    SCOPED_TRACE(length);
    ASSERT_EQ(Bootloader(kScratch, length), 1u);
    EXPECT_EQ(version_, Version(1, 2, 5));
    EXPECT_EQ(date_, "Unknown Date");  // no ROM image to date it
  }

  Place(kScratch, WithRecords(3 * kPage, {{kPage + 0x100, {1, 7, 0, 0}}}));
  EXPECT_EQ(Bootloader(kScratch, kPage), 0u);
  EXPECT_EQ(Bootloader(kScratch, 0), 0u);
  ASSERT_EQ(Bootloader(kScratch, kPage + 1), 1u);
  EXPECT_EQ(version_, Version(1, 7, 0));
}

TEST_F(BootloaderVersionTest, BannerOfTheOlderBootloader) {
  Attach({"factory.bootloader=banner", "factory.bootloader_major=1", "factory.bootloader_minor=3",
          "factory.bootloader_built=2010-10-21 15:16:17"});
  ASSERT_TRUE(DateTimeSetLocalePicture(LocalePicture::Time, u"HH:mm:ss"));
  ASSERT_EQ(Bootloader(0, kBootloaderRegionBytes), 1u);
  EXPECT_EQ(version_, Version(1, 1, 3));
  EXPECT_EQ(date_, "21 Oct 2010 00:00:00 (GMT)");
}

TEST_F(BootloaderVersionTest, BannersThatCannotBeDated) {
  Attach({"factory.bootloader=none"});
  EXPECT_EQ(Bootloader(0, kBootloaderRegionBytes), 0u);

  // Ends exactly where the search window does, without blank or terminator.
  std::string cut = std::string(kBannerOpening) + "4.2 for Valmora Wrenlet Built Oct";
  cut.insert(0, (4 - cut.size() % 4) % 4, '\xFF');
  Place(kBannerSearchStart + kBannerSearchBytes - static_cast<uint32_t>(cut.size()), Text(cut));
  ASSERT_EQ(Bootloader(0, kBootloaderRegionBytes), 1u);
  EXPECT_EQ(version_, Version(1, 4, 2));
  EXPECT_EQ(date_, "Unknown Date");

  // Month names compare exactly: "oct" is no month. This one comes first.
  Place(kBannerSearchStart, Text(std::string(kBannerOpening) + "2.1 for Valmora Wrenlet Built oct 21 2010\r\n"));
  ASSERT_EQ(Bootloader(0, kBootloaderRegionBytes), 1u);
  EXPECT_EQ(version_, Version(1, 2, 1));
  EXPECT_EQ(date_, "Unknown Date");
}

}  // namespace
