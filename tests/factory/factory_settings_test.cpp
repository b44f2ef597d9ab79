#include <gtest/gtest.h>

#include "module/module_config.h"
#include "tests/support/temp_module.h"

namespace {

ModuleConfig SavedAndLoaded(const ModuleConfig& config) {
  std::string path = MakeTempDir("fwfactoryini") + "/module.ini";
  std::string error;
  ModuleConfig loaded;
  EXPECT_TRUE(ModuleConfigSave(path, config, &error)) << error;
  EXPECT_TRUE(ModuleConfigLoad(path, &loaded, &error)) << error;
  return loaded;
}

TEST(FactorySettings, EveryVariantSettingSurvivesModuleIni) {
  ModuleConfig config;
  std::string error;
  for (const char* s : {"board.two_stage=true", "factory.bootloader=banner", "factory.bootloader_build=12",
                        "factory.second_bootloader_minor=8", "factory.bootloader_built=2012-02-29 23:59:58",
                        "factory.os_built=1999-12-31 00:00:01", "factory.os_image_bytes=0x50000",
                        "factory.sscr_bytes=0x80", "factory.config_block_bytes=0", "factory.flash_disk_key=blockdevice",
                        "factory.profile_name=Internal Flash 2"}) {
    ASSERT_TRUE(ModuleConfigAssign(&config, s, &error)) << error;
  }
  ModuleConfig loaded = SavedAndLoaded(config);
  EXPECT_TRUE(loaded.twoStage);
  EXPECT_EQ(loaded.layoutSecondBootloaderBase, config.layoutSecondBootloaderBase);
  EXPECT_EQ(loaded.layoutOsImageBase, config.layoutOsImageBase);
  EXPECT_EQ(loaded.bootloader, BootloaderKind::Banner);
  EXPECT_EQ(loaded.bootloaderBuild, 12u);
  EXPECT_EQ(loaded.secondBootloaderMinor, 8u);
  EXPECT_EQ(ModuleDateTimeText(loaded.bootloaderBuilt), "2012-02-29 23:59:58");
  EXPECT_EQ(ModuleDateTimeText(loaded.osBuilt), "1999-12-31 00:00:01");
  EXPECT_EQ(loaded.osImageBytes, 0x50000u);
  EXPECT_EQ(loaded.sscrBytes, 0x80u);
  EXPECT_EQ(loaded.configBlockBytes, 0u);
  EXPECT_EQ(loaded.flashDiskKey, FlashDiskKey::BlockDevice);
  EXPECT_EQ(loaded.profileName, "Internal Flash 2");

  loaded.flashDiskKey = FlashDiskKey::None;
  loaded.bootloader = BootloaderKind::None;
  ModuleConfig again = SavedAndLoaded(loaded);
  EXPECT_EQ(again.flashDiskKey, FlashDiskKey::None);
  EXPECT_EQ(again.bootloader, BootloaderKind::None);
}

TEST(FactorySettings, BadNamesAndDatesAreRefused) {
  ModuleConfig config;
  std::string error;
  for (const char* s : {"factory.bootloader=ethernet", "factory.flash_disk_key=BuiltIn", "factory.os_built=2009-02-29 10:00:00",
                        "factory.os_built=2009-3-05 14:03:07", "factory.os_built=2009-03-05T14:03:07",
                        "factory.os_built=2009-03-05 24:00:00", "factory.os_built=1600-12-31 23:59:59",
                        "factory.os_built=2009-03-05 14:03:07 ", "factory.os_built=", "board.two_stage=maybe"}) {
    EXPECT_FALSE(ModuleConfigAssign(&config, s, &error)) << s;
  }
  EXPECT_EQ(ModuleDateTimeText(config.osBuilt), ModuleDateTimeText(ModuleConfig{}.osBuilt)) << "nothing changed";
  ModuleDateTime t;
  EXPECT_TRUE(ModuleDateTimeParse("1601-01-01 00:00:00", &t));
  EXPECT_TRUE(ModuleDateTimeParse("2000-02-29 12:00:00", &t));
}

TEST(FactorySettings, TwoStageGivesTheSecondBootloaderRoomOnlyWhereNeeded) {
  std::string error;
  ModuleConfig config;
  ASSERT_TRUE(ModuleConfigSet(&config, "board.two_stage", "true", &error));
  EXPECT_EQ(config.layoutSecondBootloaderBase, kTwoStageSecondBootloaderBase);
  EXPECT_EQ(config.layoutOsImageBase, kTwoStageSecondBootloaderBase + kTwoStageSecondBootloaderRoom)
      << "the OS image moves out of the second bootloader's way";

  // A base given first is kept, and the OS image stays where it does not collide.
  ModuleConfig placed;
  ASSERT_TRUE(ModuleConfigAssign(&placed, "bsp.second_bootloader_base=0x200000", &error));
  ASSERT_TRUE(ModuleConfigAssign(&placed, "board.two_stage=true", &error));
  EXPECT_EQ(placed.layoutSecondBootloaderBase, 0x200000u);
  EXPECT_EQ(placed.layoutOsImageBase, ModuleConfig{}.layoutOsImageBase);

  // Reading module.ini applies nothing: the file holds the result already.
  std::string path = MakeTempDir("fwfactoryini") + "/module.ini";
  ModuleConfig bare;
  bare.twoStage = true;
  ASSERT_TRUE(ModuleConfigSave(path, bare, &error));
  ModuleConfig loaded;
  ASSERT_TRUE(ModuleConfigLoad(path, &loaded, &error));
  EXPECT_EQ(loaded.layoutSecondBootloaderBase, 0u);
}

}  // namespace
