// fwmodule create with board variants, and fwmodule info reading them back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "module/atomic_file.h"
#include "module/factory_images.h"
#include "module/flash_image.h"
#include "module/module_dir.h"
#include "module/registry_store.h"
#include "tests/factory/rom_rule.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

ProgramResult Fwmodule(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {BuiltProgram("fwmodule")};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv);
}

// The first info line of a region: "  0xOFFSET  NAME   details".
std::string RegionLine(const std::string& info, const std::string& name) {
  for (size_t start = 0; start < info.size();) {
    size_t end = info.find('\n', start);
    if (end == std::string::npos) end = info.size();
    std::string line = info.substr(start, end - start);
    if (line.rfind("  0x", 0) == 0 && line.find("  " + name + " ") == 12) return line;
    start = end + 1;
  }
  return {};
}

TEST(FwmoduleVariants, TwoStageModuleShowsBothBootloadersInInfo) {
  std::string dir = MakeTempDir("fwtwostage");
  ProgramResult r = Fwmodule({"create", dir, "--two-stage", "--set", "factory.sscr_bytes=0x40"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  Module module;
  std::string error;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error)) << error;
  const ModuleConfig& c = module.config;
  ASSERT_TRUE(c.twoStage);
  FlashImage image;
  ASSERT_TRUE(FlashImageOpen(ModuleFlashPath(dir), 0x40000, &image, &error)) << error;
  std::span<const uint8_t> flash(image.raw.bytes, image.raw.size);
  uint32_t first = 0, second = 0, os = 0;
  EXPECT_TRUE(RuleRomImageValid(flash, 0, &first));
  EXPECT_TRUE(RuleRomImageValid(flash, c.layoutSecondBootloaderBase, &second));
  EXPECT_TRUE(RuleRomImageValid(flash, c.layoutOsImageBase, &os));
  FlashImageClose(&image);

  r = Fwmodule({"info", dir});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("two-stage boot"), std::string::npos) << r.out;
  std::string line = RegionLine(r.out, "first bootloader");
  EXPECT_EQ(line.find("0x00000000"), 2u) << r.out;
  EXPECT_NE(line.find("built 2008-11-20 09:30:00"), std::string::npos) << line;
  EXPECT_NE(r.out.find("version 1.4 (record"), std::string::npos) << r.out;
  line = RegionLine(r.out, "second bootloader");
  EXPECT_NE(line.find("0x00080000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("version 1.2 (record"), std::string::npos) << r.out;
  line = RegionLine(r.out, "OS image");
  EXPECT_NE(line.find("0x00100000"), std::string::npos) << r.out;
  EXPECT_NE(line.find("built 2009-03-05 14:03:07"), std::string::npos) << line;
  EXPECT_NE(r.out.find("signature record of 0x50 bytes"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("half 1 at 0x01400000: current"), std::string::npos) << r.out;
  line = RegionLine(r.out, "file system");
  EXPECT_NE(line.find("Drivers\\BuiltIn\\StrataFMD"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("store of "), std::string::npos) << r.out;
}

TEST(FwmoduleVariants, OlderBootloaderAndMissingDriverKeyShowAsSuch) {
  std::string dir = MakeTempDir("fwbanner");
  ProgramResult r = Fwmodule({"create", dir, "--set", "factory.bootloader=banner", "--set",
                              "factory.flash_disk_key=none", "--set", "factory.config_block_bytes=0"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Fwmodule({"info", dir});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Ethernet bootloader banner at"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no config block marker"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("no flash disk driver"), std::string::npos) << r.out;
  EXPECT_EQ(RegionLine(r.out, "file system"), "") << r.out;

  RegistryData live;
  std::string error;
  ASSERT_TRUE(RegistryLoadLive(dir, &live, &error)) << error;
  EXPECT_FALSE(RegistryKeyExists(live, u"Drivers\\BuiltIn\\StrataFMD"));
  EXPECT_FALSE(RegistryKeyExists(live, u"Drivers\\BlockDevice\\StrataFMD"));
}

TEST(FwmoduleVariants, NlsFileCarriesTheOsBuildTime) {
  std::string dir = MakeTempDir("fwnls");
  ASSERT_EQ(Fwmodule({"create", dir, "--set", "factory.os_built=2011-06-07 08:09:10"}).exitCode, 0);
  struct stat st;
  ASSERT_EQ(::stat((ModuleRootPath(dir) + "/Windows/wince.nls").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1307434150) << "2011-06-07 08:09:10 UTC";
}

TEST(FwmoduleVariants, RefusedSettingsLeaveNoModule) {
  std::string dir = MakeTempDir("fwrefused");
  ProgramResult r = Fwmodule({"create", dir, "--set", "factory.os_image_bytes=0x1400000"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("overlaps the registry"), std::string::npos) << r.err;
  Module module;
  std::string error;
  EXPECT_FALSE(ModuleOpen(dir, &module, &error));
  // A corrected retry needs no --force.
  EXPECT_EQ(Fwmodule({"create", dir}).exitCode, 0);
}

// A module made afresh over an old one keeps the user's files in its object
// store; a folder of other files is not taken for a module.
TEST(FwmoduleVariants, ReplacingAModuleKeepsTheUsersFilesAndOtherFoldersAreLeftAlone) {
  std::string dir = MakeTempDir("fwforce");
  ASSERT_EQ(Fwmodule({"create", dir}).exitCode, 0);
  std::string error;
  ASSERT_TRUE(AtomicWriteFile(dir + "/root/Temp/all.bin", "a backup", &error)) << error;
  ASSERT_EQ(Fwmodule({"create", dir, "--force", "--board", "nand"}).exitCode, 0);
  Module module;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error)) << error;
  EXPECT_NE(module.config.cpuPartCode, 17u) << "the NAND board's processor";
  EXPECT_EQ(ReadFile(dir + "/root/Temp/all.bin"), "a backup");

  std::string other = MakeTempDir("fwother");
  ASSERT_TRUE(AtomicWriteFile(other + "/notes.txt", "mine", &error)) << error;
  ProgramResult r = Fwmodule({"create", other});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("is not empty and holds no module"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(other + "/notes.txt"), "mine");
  EXPECT_FALSE(ModuleOpen(other, &module, &error));
}

TEST(FwmoduleVariants, AFaultPastTheEndOfTheFlashChangesNothing) {
  std::string dir = MakeTempDir("fwfault");
  ASSERT_EQ(Fwmodule({"create", dir}).exitCode, 0);
  std::string before, after, error;
  ASSERT_TRUE(ReadWholeFile(ModuleIniPath(dir), &before, &error)) << error;
  ProgramResult r = Fwmodule({"fault", dir, "faults.never_ready=true", "faults.erase_error_block=0x2000000"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("erase_error_block 0x2000000 lies past the end of the flash (0x2000000 bytes)"),
            std::string::npos)
      << r.err;
  ASSERT_TRUE(ReadWholeFile(ModuleIniPath(dir), &after, &error)) << error;
  EXPECT_EQ(after, before);
}

}  // namespace
