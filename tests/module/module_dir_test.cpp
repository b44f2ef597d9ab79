#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "module/module_dir.h"
#include "tests/support/temp_module.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

TEST(ModuleDir, CreateGivesAFactoryModule) {
  std::string dir = MakeTempDir("fwmod") + "/m";
  std::string error;
  ASSERT_TRUE(ModuleCreate(dir, "nor", false, &error)) << error;
  Module module;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error)) << error;
  EXPECT_EQ(module.config.cpuPartCode, 17u);

  struct stat flash;
  ASSERT_EQ(::stat(ModuleFlashPath(dir).c_str(), &flash), 0);
  EXPECT_EQ(flash.st_size, 32 << 20);

  for (const char* folder : {"/Windows", "/USB HD/IMAGES", "/Temp"}) {
    EXPECT_TRUE(Exists(ModuleRootPath(dir) + folder)) << folder;
  }
  struct stat nls;
  ASSERT_EQ(::stat((ModuleRootPath(dir) + "/Windows/wince.nls").c_str(), &nls), 0);
  EXPECT_EQ(nls.st_mtime, 1236261787);  // 2009-03-05 14:03:07 UTC
  EXPECT_TRUE(Exists(ModuleLocksPath(dir)));
  EXPECT_TRUE(Exists(ModuleShmPath(dir)));
}

TEST(ModuleDir, ExistingModuleIsReplacedOnlyWhenAsked) {
  std::string dir = MakeTempDir("fwmod");
  std::string error;
  ASSERT_TRUE(ModuleCreate(dir, "nor", false, &error)) << error;
  std::ofstream(ModuleRootPath(dir) + "/Temp/user.txt") << "mine";
  std::ofstream(dir + "/notes.txt") << "kept";

  EXPECT_FALSE(ModuleCreate(dir, "nor", false, &error));
  EXPECT_NE(error.find("already holds a module"), std::string::npos) << error;
  EXPECT_TRUE(Exists(ModuleRootPath(dir) + "/Temp/user.txt"));

  ASSERT_TRUE(ModuleCreate(dir, "nor", true, &error)) << error;
  EXPECT_TRUE(Exists(ModuleRootPath(dir) + "/Temp/user.txt")) << "the user's files outlive the module";
  EXPECT_TRUE(Exists(dir + "/notes.txt"));
}

TEST(ModuleDir, RefusesUnknownBoardsAndMissingModules) {
  std::string dir = MakeTempDir("fwmod");
  std::string error;
  EXPECT_FALSE(ModuleCreate(dir, "toaster", false, &error));
  EXPECT_NE(error.find("toaster"), std::string::npos);
  EXPECT_FALSE(Exists(ModuleIniPath(dir)));
  Module module;
  EXPECT_FALSE(ModuleOpen(dir, &module, &error));
  EXPECT_NE(error.find("holds no module"), std::string::npos);
}

TEST(ModuleDir, OpenOrCreateMakesTheModuleOnce) {
  std::string dir = MakeTempDir("fwmod") + "/deep/er";
  std::string error;
  Module first, second;
  ASSERT_TRUE(ModuleOpenOrCreate(dir, &first, &error)) << error;
  std::ofstream(ModuleRootPath(dir) + "/Temp/kept.txt") << "x";
  ASSERT_TRUE(ModuleOpenOrCreate(dir, &second, &error)) << error;
  EXPECT_TRUE(Exists(ModuleRootPath(dir) + "/Temp/kept.txt"));
  EXPECT_EQ(first.dir, second.dir);
}

// Puts an environment variable back as it was when the test ends.
struct SavedEnv {
  explicit SavedEnv(const char* name) : name(name), had(std::getenv(name) != nullptr) {
    if (had) value = std::getenv(name);
  }
  ~SavedEnv() {
    if (had) ::setenv(name, value.c_str(), 1);
    else ::unsetenv(name);
  }
  const char* name;
  bool had;
  std::string value;
};

TEST(ModuleDir, DefaultDirectoryFollowsTheEnvironment) {
  SavedEnv module("FLASHWRIGHT_MODULE"), xdg("XDG_DATA_HOME"), home("HOME");
  ::setenv("FLASHWRIGHT_MODULE", "/x/module", 1);
  EXPECT_EQ(ModuleDefaultDir(), "/x/module");
  ::unsetenv("FLASHWRIGHT_MODULE");
  ::setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(ModuleDefaultDir(), "/data/flashwright/module");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(ModuleDefaultDir(), "/home/u/.local/share/flashwright/module");
}

}  // namespace
