// The version report's text on modules with different bootloaders.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/backup_dialog.h"
#include "app/version_report.h"
#include "fwlib/erase.h"
#include "fwlib/init.h"
#include "fwlib/regions.h"
#include "platform/platform.h"
#include "tests/app/shell_fixture.h"
#include "tests/support/temp_module.h"

namespace {

constexpr const char* kBuilt = "factory.bootloader_built=2008-11-20 09:30:00";

class VersionReport : public ::testing::Test {
 protected:
  void TearDown() override {
    ResetShellForTests();
    PlatformDetachModule();
  }
  // The report's text on a module made with `settings`.
  static std::string Report(std::vector<std::string> settings, uint32_t eraseFirst = REGION_NONE) {
    ResetShellForTests();
    PlatformDetachModule();
    settings.push_back(kBuilt);
    settings.push_back("factory.os_built=2009-03-05 14:03:07");
    if (AttachTempModuleWith(settings).empty() || FWLInit() != 0) return "no module";
    if (eraseFirst != REGION_NONE) FWLEraseRegions(eraseFirst, nullptr);
    ShowVersionReport(nullptr);
    std::vector<std::string> shown = RecordedMessages();
    return shown.size() == 1 ? shown[0] : RecordingLog();
  }
};

const std::string kImage =
    "Image (current running)\r\nID:\tWRENLET\r\nVer:\t3.7 BETA, Build 1 (CE 5.0)\r\nBuilt:\t05 Mar 2009 14:03:07 (GMT) (0)";

TEST_F(VersionReport, ReleaseAndBetaBootloaders) {
  // A release ends its version line in a blank; a beta names its build.
  EXPECT_EQ(Report({"factory.bootloader_major=1", "factory.bootloader_minor=2", "bsp.image_build=1"}),
            "BSP Version: Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t1.2 \r\nBuilt:\t20 Nov 2008 9:30:00 (GMT)\r\n\r\n" +
                kImage);
  EXPECT_EQ(Report({"factory.bootloader_build=5", "bsp.image_family=7", "bsp.image_build=0"}),
            "BSP Version: Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t1.4 BETA, Build 5\r\nBuilt:\t20 Nov 2008 "
            "9:30:00 (GMT)\r\n\r\nImage (current running)\r\nID:\tUNKNOWN\r\nVer:\t3.7  (CE 5.0)\r\nBuilt:\t05 Mar "
            "2009 14:03:07 (GMT) (0)");
}

TEST_F(VersionReport, BannersAndMissingBootloaders) {
  // The older bootloader dates itself to the day only.
  EXPECT_EQ(Report({"factory.bootloader=banner"}).substr(0, 101),
            "BSP Version: Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t1.4 \r\nBuilt:\t20 Nov 2008 0:00:00 (GMT)\r\n\r\n"
            "Image");
  // Without any bootloader region there is nothing to ask about.
  EXPECT_EQ(Report({"factory.bootloader=none"}), "BSP Version: Error acquiring Bootloader info.\r\n\r\n" + kImage);
}

TEST_F(VersionReport, TwoStageModulesReportBothBootloaders) {
  EXPECT_EQ(Report({"board.two_stage=true", "factory.second_bootloader_major=2", "factory.second_bootloader_minor=1"}),
            "BSP Version: First Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t1.4 \r\nBuilt:\t20 Nov 2008 9:30:00 "
            "(GMT)\r\n\r\nSecond Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t2.1 \r\nBuilt:\t20 Nov 2008 9:30:00 "
            "(GMT)\r\n\r\n" +
                kImage);
  // An erased second bootloader is no longer a region.
  EXPECT_EQ(Report({"board.two_stage=true"}, REGION_SECOND_BOOTLOADER),
            "BSP Version: First Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t1.4 \r\nBuilt:\t20 Nov 2008 9:30:00 "
            "(GMT)\r\n\r\nSecond Bootloader not found.\r\n\r\n" +
                kImage);
}

TEST(FormatSize, BytesKilobytesAndMegabytes) {
  WCHAR text[24];
  auto format = [&](uint32_t value) {
    FormatSize(value, text, 24);
    return std::u16string(text);
  };
  EXPECT_EQ(format(1000), u"1000 B");
  EXPECT_EQ(format(1023), u"1023 B");
  EXPECT_EQ(format(1024), u"1.00 KB");
  EXPECT_EQ(format(0x40000), u"256.00 KB");
  EXPECT_EQ(format(0xFFFFF), u"1024.00 KB");
  EXPECT_EQ(format(0x100000), u"1.00 MB");
  // The megabytes come from whole kilobytes: the stray bytes are dropped.
  EXPECT_EQ(format(0x1FFFFFF), u"32.00 MB");
  EXPECT_EQ(format(0x180000 + 1023), u"1.50 MB");
  EXPECT_EQ(format(0xFFFFFFFF), u"4096.00 MB");
}

}  // namespace
