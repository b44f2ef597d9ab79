// Each board variant's flash holds what its settings say, read back the way
// the update program reads it.
#include <gtest/gtest.h>

#include "module/factory.h"
#include "module/factory_images.h"
#include "module/factory_registry.h"
#include "module/nor_chips.h"
#include "tests/factory/rom_rule.h"

namespace {

struct Laid {
  MemoryFlash mem;
  bool ok = false;
  std::string error;
  std::span<const uint8_t> bytes() const { return mem.storage; }
};

ModuleConfig With(const std::vector<std::string>& settings) {
  ModuleConfig config;
  std::string error;
  for (const std::string& s : settings) EXPECT_TRUE(ModuleConfigAssign(&config, s, &error)) << error;
  return config;
}

void Lay(const ModuleConfig& config, Laid* laid) {
  MemoryFlashInit(&laid->mem, NorPairBytes(config.norDeviceCode), 0x40000);
  laid->ok = FactoryLayFlash(config, RawFlashAccess(&laid->mem.raw), &laid->error);
}

uint32_t WordAt(std::span<const uint8_t> flash, uint32_t at) {
  return flash[at] | flash[at + 1] << 8 | flash[at + 2] << 16 | uint32_t{flash[at + 3]} << 24;
}

TEST(FactoryFlash, DefaultBoardHoldsBootloaderConfigBlockAndOsImage) {
  ModuleConfig config;
  Laid laid;
  Lay(config, &laid);
  ASSERT_TRUE(laid.ok) << laid.error;
  auto flash = laid.bytes();

  uint32_t size = 0;
  ASSERT_TRUE(RuleRomImageValid(flash, 0, &size));
  EXPECT_LT(size, kBootloaderRegionBytes);
  EXPECT_NE(WordAt(flash, 16), 2u) << "a one-stage bootloader";
  StoredVersion v;
  uint32_t at;
  ASSERT_TRUE(VersionRecordFind(flash, 0, kBootloaderRegionBytes, &v, &at));
  EXPECT_LT(at, size) << "the record lies inside the image";
  EXPECT_EQ(v.family, 1u);
  EXPECT_EQ(v.major, config.bootloaderMajor);
  EXPECT_EQ(v.minor, config.bootloaderMinor);
  RomImageFound rom;
  ASSERT_TRUE(RomImageFind(flash, 0, &rom));
  EXPECT_EQ(rom.moduleFileTime, FileTimeFromDate(config.bootloaderBuilt));

  uint32_t used = 0;
  ASSERT_TRUE(ConfigBlockFind(flash, kConfigBlockBase, kConfigBlockRegionBytes, &used));
  EXPECT_EQ(used, config.configBlockBytes);

  ASSERT_TRUE(RuleRomImageValid(flash, config.layoutOsImageBase, &size));
  EXPECT_EQ(size, config.osImageBytes);
  ASSERT_TRUE(RomImageFind(flash, config.layoutOsImageBase, &rom));
  EXPECT_EQ(rom.moduleFileTime, FileTimeFromDate(config.osBuilt));
  uint32_t record;
  EXPECT_FALSE(SscrRecordFind(flash, config.layoutOsImageBase + size, &record));
  // Nothing reaches into the registry, and the registry is left to its owner.
  for (uint32_t i = config.layoutOsImageBase + size; i < config.layoutRegistryBase + 0x80000; i += 0x1000) {
    ASSERT_EQ(WordAt(flash, i), 0xFFFFFFFFu) << std::hex << i;
  }
}

TEST(FactoryFlash, TwoStageBoardHasBothBootloadersAndMovesTheOsImage) {
  ModuleConfig config = With({"board.two_stage=true", "factory.second_bootloader_minor=9"});
  ASSERT_NE(config.layoutSecondBootloaderBase, 0u);
  Laid laid;
  Lay(config, &laid);
  ASSERT_TRUE(laid.ok) << laid.error;
  auto flash = laid.bytes();

  EXPECT_EQ(WordAt(flash, 16), 2u);
  uint32_t first = 0, second = 0, os = 0;
  ASSERT_TRUE(RuleRomImageValid(flash, 0, &first));
  ASSERT_TRUE(RuleRomImageValid(flash, config.layoutSecondBootloaderBase, &second));
  ASSERT_TRUE(RuleRomImageValid(flash, config.layoutOsImageBase, &os));
  EXPECT_GE(config.layoutSecondBootloaderBase, kConfigBlockBase + kConfigBlockRegionBytes);
  EXPECT_LE(config.layoutSecondBootloaderBase + second, config.layoutOsImageBase);

  StoredVersion v;
  uint32_t at;
  ASSERT_TRUE(VersionRecordFind(flash, config.layoutSecondBootloaderBase, second, &v, &at));
  EXPECT_EQ(v.major, config.secondBootloaderMajor);
  EXPECT_EQ(v.minor, 9u);
  ASSERT_TRUE(VersionRecordFind(flash, 0, kBootloaderRegionBytes, &v, &at));
  EXPECT_EQ(v.minor, config.bootloaderMinor) << "the first bootloader keeps its own record";
}

TEST(FactoryFlash, BannerBootloaderCarriesNoVersionRecord) {
  ModuleConfig config = With({"factory.bootloader=banner", "factory.bootloader_minor=3",
                              "factory.bootloader_built=2010-10-21 08:00:00"});
  Laid laid;
  Lay(config, &laid);
  ASSERT_TRUE(laid.ok) << laid.error;
  auto flash = laid.bytes();
  uint32_t size;
  EXPECT_TRUE(RuleRomImageValid(flash, 0, &size));
  StoredVersion v;
  uint32_t at;
  EXPECT_FALSE(VersionRecordFind(flash, 0, kBootloaderRegionBytes, &v, &at));
  BannerFound b;
  ASSERT_TRUE(BannerFind(flash, kBannerSearchStart, kBannerSearchBytes, &b));
  EXPECT_LT(b.at, size);
  EXPECT_EQ(b.minor, 3u);
  EXPECT_EQ(b.built.year, 2010u);
  EXPECT_EQ(b.built.month, 10u);
  EXPECT_EQ(b.built.day, 21u);
}

TEST(FactoryFlash, OptionalContentFollowsItsSettings) {
  {
    Laid laid;
    Lay(With({"factory.bootloader=none", "factory.config_block_bytes=0"}), &laid);
    ASSERT_TRUE(laid.ok) << laid.error;
    EXPECT_EQ(RuleImageSize(laid.bytes(), 0), 0u);
    uint32_t used;
    EXPECT_FALSE(ConfigBlockFind(laid.bytes(), kConfigBlockBase, kConfigBlockRegionBytes, &used));
  }
  {
    ModuleConfig config = With({"factory.sscr_bytes=0x102", "factory.os_image_bytes=0x40004",
                                "factory.config_block_bytes=0x40000"});
    Laid laid;
    Lay(config, &laid);
    ASSERT_TRUE(laid.ok) << laid.error;
    uint32_t size = RuleImageSize(laid.bytes(), config.layoutOsImageBase);
    EXPECT_EQ(size, 0x40004u);
    uint32_t record = 0;
    ASSERT_TRUE(SscrRecordFind(laid.bytes(), config.layoutOsImageBase + size, &record));
    EXPECT_EQ(record, 0x102u + 16);
    uint32_t used;
    ASSERT_TRUE(ConfigBlockFind(laid.bytes(), kConfigBlockBase, kConfigBlockRegionBytes, &used));
    EXPECT_EQ(used, kConfigBlockRegionBytes);
  }
}

TEST(FactoryFlash, SettingsThatMakeNoModuleWriteNothing) {
  const std::vector<std::vector<std::string>> bad = {
      {"bsp.os_image_base=0x40000"},                                     // inside the config block
      {"factory.os_image_bytes=0x1400000"},                              // into the registry
      {"bsp.os_image_base=0x1800000"},                                   // onto the flash disk
      {"bsp.registry_base=0x1FC0000"},                                   // registry past the end
      {"board.two_stage=true", "bsp.second_bootloader_base=0x110000"},   // into the OS image
      {"board.two_stage=true", "bsp.second_bootloader_base=0x0"},        // nowhere
      {"bsp.os_image_base=0x80002"},                                     // not word aligned
      {"factory.os_image_bytes=0x40"},                                   // too small for a ROM image
      {"factory.bootloader_minor=0x10000"},                              // wider than the record
      {"factory.config_block_bytes=0x401"},
  };
  for (const auto& settings : bad) {
    Laid laid;
    Lay(With(settings), &laid);
    EXPECT_FALSE(laid.ok) << settings.back();
    EXPECT_FALSE(laid.error.empty());
    EXPECT_EQ(laid.mem.raw.programCalls, 0u) << settings.back();
  }
}

std::string TextOf(const RegKey* key, std::u16string_view name) {
  const RegValue* v = key == nullptr ? nullptr : RegistryFindValue(*key, name);
  std::string text;
  if (v == nullptr) return "<none>";
  for (size_t i = 0; i + 1 < v->data.size() && v->data[i] != 0; i += 2) text.push_back(static_cast<char>(v->data[i]));
  return text;
}

TEST(FactoryRegistry, DriverKeyAndProfileFollowTheSettings) {
  const std::u16string builtIn = u"Drivers\\BuiltIn\\StrataFMD", blockDevice = u"Drivers\\BlockDevice\\StrataFMD";
  struct Case {
    const char* key;
    bool inBuiltIn, inBlockDevice;
  } cases[] = {{"builtin", true, false}, {"blockdevice", false, true}, {"none", false, false}};
  for (const Case& c : cases) {
    ModuleConfig config = With({std::string("factory.flash_disk_key=") + c.key, "factory.profile_name=Other Flash"});
    RegistryData data;
    std::string error;
    ASSERT_TRUE(FactoryRegistryBuild(config, &data, &error)) << error;
    EXPECT_EQ(RegistryKeyExists(data, builtIn), c.inBuiltIn) << c.key;
    EXPECT_EQ(RegistryKeyExists(data, blockDevice), c.inBlockDevice) << c.key;
    const RegKey* driver = RegistryFindKey(data, c.inBuiltIn ? builtIn : blockDevice);
    if (driver != nullptr) {
      EXPECT_EQ(TextOf(driver, u"Profile"), "FlashDisk");
    }
    EXPECT_EQ(TextOf(RegistryFindKey(data, u"System\\StorageManager\\Profiles\\FlashDisk"), u"Name"), "Other Flash");
  }
  ModuleConfig config = With({"factory.profile_name=Intern\xC3\xA9"});
  RegistryData data;
  std::string error;
  EXPECT_FALSE(FactoryRegistryBuild(config, &data, &error));
  EXPECT_NE(error.find("profile_name"), std::string::npos) << error;
}

}  // namespace
