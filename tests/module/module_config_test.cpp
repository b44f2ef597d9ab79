#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "module/atomic_file.h"
#include "module/module_config.h"
#include "tests/support/temp_module.h"

namespace {

std::string WriteIni(const std::string& text) {
  std::string path = MakeTempDir("fwini") + "/module.ini";
  std::ofstream(path) << text;
  return path;
}

TEST(ModuleConfig, SaveThenLoadKeepsEverySetting) {
  ModuleConfig config;
  config.cpuPartCode = 2;
  config.osMajor = 6;
  config.bspItem0 = 0x1122334455667788ULL;
  config.layoutRegistryBase = 0x01800000;
  config.norDeviceCode = 0x8922;
  config.timing = ModuleTiming::Realistic;
  config.faultLockedBlock = 0x80000;
  config.faultWeakProgramAt = -1;
  config.faultNeverReady = true;
  config.faultPowerCutAfter = 12345;
  config.faultBspNoItems = "5,8";
  // As many blocks as the largest reserve, longer than a line of the file.
  for (uint32_t block = 8029; block < 8192; block++) config.faultNandBadBlocks += std::to_string(block) + ",";
  config.faultNandBadBlocks.pop_back();
  std::string path = MakeTempDir("fwini") + "/module.ini";
  std::string error;
  ASSERT_TRUE(ModuleConfigSave(path, config, &error)) << error;

  ModuleConfig loaded;
  ASSERT_TRUE(ModuleConfigLoad(path, &loaded, &error)) << error;
  EXPECT_EQ(loaded.cpuPartCode, 2u);
  EXPECT_EQ(loaded.osMajor, 6u);
  EXPECT_EQ(loaded.bspItem0, 0x1122334455667788ULL);
  EXPECT_EQ(loaded.layoutRegistryBase, 0x01800000u);
  EXPECT_EQ(loaded.norDeviceCode, 0x8922u);
  EXPECT_EQ(loaded.timing, ModuleTiming::Realistic);
  EXPECT_EQ(loaded.faultLockedBlock, 0x80000);
  EXPECT_EQ(loaded.faultWeakProgramAt, -1);
  EXPECT_TRUE(loaded.faultNeverReady);
  EXPECT_EQ(loaded.faultPowerCutAfter, 12345u);
  EXPECT_EQ(loaded.faultBspNoItems, "5,8");
  EXPECT_EQ(loaded.faultNandBadBlocks, config.faultNandBadBlocks);

  config.profileName = std::string(300, 'x');
  EXPECT_FALSE(ModuleConfigSave(path, config, &error)) << "no comma to go on after";
}

TEST(ModuleConfig, MissingKeysKeepDefaults) {
  std::string error;
  ModuleConfig loaded;
  ASSERT_TRUE(ModuleConfigLoad(WriteIni("[board]\nos_major = 6\n"), &loaded, &error)) << error;
  EXPECT_EQ(loaded.osMajor, 6u);
  EXPECT_EQ(loaded.cpuPartCode, 17u);
  EXPECT_EQ(loaded.layoutRegistryHalf, 0x40000u);
  EXPECT_FALSE(loaded.faultNeverReady);
}

TEST(ModuleConfig, BadFilesAreErrorsWithTheLine) {
  std::string error;
  ModuleConfig loaded;
  EXPECT_FALSE(ModuleConfigLoad(WriteIni("[board]\nos_major = 6\ncolour = blue\n"), &loaded, &error));
  EXPECT_NE(error.find(":3:"), std::string::npos) << error;
  EXPECT_NE(error.find("board.colour"), std::string::npos) << error;

  EXPECT_FALSE(ModuleConfigLoad(WriteIni("[board]\ncpu_part_code = 0x1FFFFFFFF\n"), &loaded, &error));
  EXPECT_NE(error.find("cpu_part_code"), std::string::npos) << error;
  EXPECT_FALSE(ModuleConfigLoad(WriteIni("[board]\ncpu_part_code = -3\n"), &loaded, &error));
  EXPECT_FALSE(ModuleConfigLoad(WriteIni("[flash]\ntiming = slow\n"), &loaded, &error));
  EXPECT_FALSE(ModuleConfigLoad(WriteIni("[faults]\nnever_ready = maybe\n"), &loaded, &error));
  EXPECT_FALSE(ModuleConfigLoad("/nonexistent/module.ini", &loaded, &error));
}

TEST(ModuleConfig, SetAcceptsKnownKeysOnly) {
  ModuleConfig config;
  std::string error;
  EXPECT_TRUE(ModuleConfigSet(&config, "faults.erase_error_block", "0x100000", &error));
  EXPECT_EQ(config.faultEraseErrorBlock, 0x100000);
  EXPECT_FALSE(ModuleConfigSet(&config, "faults.nothing", "1", &error));
  EXPECT_FALSE(ModuleConfigSet(&config, "never_ready", "1", &error));
  EXPECT_FALSE(ModuleConfigSet(&config, "faults.power_cut_after", "soon", &error));
}

TEST(AtomicFile, ReplacesWholeAndKeepsPermissions) {
  std::string path = MakeTempDir("fwatomic") + "/f.txt";
  std::string error, data;
  ASSERT_TRUE(AtomicWriteFile(path, "first", &error)) << error;
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  ASSERT_TRUE(AtomicWriteFile(path, "second", &error)) << error;
  ASSERT_TRUE(ReadWholeFile(path, &data, &error)) << error;
  EXPECT_EQ(data, "second");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(AtomicWriteFile("/nonexistent/dir/f.txt", "x", &error));
}

}  // namespace
