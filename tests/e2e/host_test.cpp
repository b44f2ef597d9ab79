#include <gtest/gtest.h>
#include <sys/stat.h>

#include "module/module_dir.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

TEST(Host, HandsTheJoinedCommandLineToTheProgram) {
  std::string dir = MakeTempDir("fwe2e");
  ASSERT_EQ(RunProgram({BuiltProgram("fwmodule"), "create", dir}).exitCode, 0);
  // Joined with a blank, "U" is no longer the quiet modifier of "/C".
  ProgramResult r = RunProgram({BuiltProgram("flashwright"), "--module", dir, "--ui", "console", "/C", "U"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("Registry successfully cleared"), std::string::npos) << r.err;
  r = RunProgram({BuiltProgram("flashwright"), "--module", dir, "--ui", "console", "/CU"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err.find("Registry"), std::string::npos) << r.err;
}

TEST(Host, CreatesOnlyTheDefaultModuleOnDemand) {
  std::string base = MakeTempDir("fwe2e");
  std::string defaultDir = base + "/default";
  // No switches: the main dialog opens, and closes when its input ends.
  ProgramResult r =
      RunProgram({BuiltProgram("flashwright"), "--ui", "console"}, {{"FLASHWRIGHT_MODULE", defaultDir}});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(Exists(ModuleIniPath(defaultDir)));

  std::string typo = base + "/typo";
  r = RunProgram({BuiltProgram("flashwright"), "--module=" + typo, "/f"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("holds no module"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(typo));
}

TEST(Host, RejectsBadHostOptions) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--ui", "tk"}, {"--module"}, {"--frobnicate"}}) {
    args.insert(args.begin(), BuiltProgram("flashwright"));
    ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, 2) << args[1];
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << r.err;
  }
  ProgramResult help = RunProgram({BuiltProgram("flashwright"), "--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--module DIR"), std::string::npos);
  EXPECT_NE(RunProgram({BuiltProgram("flashwright"), "--version"}).out.find("3.7.1"), std::string::npos);
}

TEST(Fwmodule, CreateInfoAndFault) {
  std::string dir = MakeTempDir("fwe2e");
  ProgramResult r = RunProgram({BuiltProgram("fwmodule"), "create", dir, "--board", "nor"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = RunProgram({BuiltProgram("fwmodule"), "create", dir});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos);

  r = RunProgram({BuiltProgram("fwmodule"), "info", dir});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("part code 17"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("32 MB"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("persistent: "), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("persistent: none"), std::string::npos) << "the factory saves the registry into flash";

  // The persistent registry's header is the first thing in its region.
  r = RunProgram({BuiltProgram("fwmodule"), "dump", dir, "0x1400000", "8"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("01400000  67 45 23 01", 0), 0u) << r.out;
  EXPECT_EQ(RunProgram({BuiltProgram("fwmodule"), "dump", dir, "0x2000000"}).exitCode, 1);

  r = RunProgram({BuiltProgram("fwmodule"), "fault", dir, "faults.never_ready=true", "faults.bogus=1"});
  EXPECT_EQ(r.exitCode, 1);
  Module module;
  std::string error;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error));
  EXPECT_FALSE(module.config.faultNeverReady) << "a rejected setting must change nothing";
  r = RunProgram({BuiltProgram("fwmodule"), "fault", dir, "faults.never_ready=true", "flash.timing=realistic"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error));
  EXPECT_TRUE(module.config.faultNeverReady);
  EXPECT_EQ(module.config.timing, ModuleTiming::Realistic);
}

}  // namespace
