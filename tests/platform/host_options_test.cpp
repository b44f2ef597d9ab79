#include <gtest/gtest.h>

#include <vector>

#include "platform/host_options.h"
#include "platform/platform.h"
#include "platform/version.h"
#include "tests/support/temp_module.h"

namespace {

bool Parse(std::vector<const char*> args, HostOptions* options, std::string* error) {
  args.insert(args.begin(), "flashwright");
  return ParseHostOptions(static_cast<int>(args.size()), const_cast<char**>(args.data()), options, error);
}

TEST(HostOptions, HostOptionsComeFirstAndTheRestIsTheModuleLine) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--module", "/m", "--ui=console", "/u", "\\Temp\\Ä.bin", "/rc500"}, &options, &error));
  EXPECT_EQ(options.moduleDir, "/m");
  EXPECT_EQ(options.ui, HostUi::Console);
  EXPECT_TRUE(options.commandLine == u"/u \\Temp\\Ä.bin /rc500");

  // Once the module line has started, later "--" words belong to it.
  ASSERT_TRUE(Parse({"/f", "--module", "x"}, &options, &error));
  EXPECT_TRUE(options.moduleDir.empty());
  EXPECT_TRUE(options.commandLine == u"/f --module x");

  ASSERT_TRUE(Parse({}, &options, &error));
  EXPECT_TRUE(options.commandLine.empty());
}

TEST(HostOptions, BadOptionsAreNamed) {
  HostOptions options;
  std::string error;
  EXPECT_FALSE(Parse({"--ui", "gtk"}, &options, &error));
  EXPECT_NE(error.find("gtk"), std::string::npos);
  EXPECT_FALSE(Parse({"--module"}, &options, &error));
  EXPECT_FALSE(Parse({"--module="}, &options, &error));
  EXPECT_FALSE(Parse({"--loud"}, &options, &error));
  EXPECT_NE(error.find("--loud"), std::string::npos);
  EXPECT_FALSE(Parse({"--check"}, &options, &error));
  EXPECT_FALSE(Parse({"--check", "\\a.bin", "/u", "\\a.bin"}, &options, &error)) << "a dry run runs no switch";
  EXPECT_FALSE(Parse({"--json", "/f"}, &options, &error)) << "only the check speaks JSON";
  ASSERT_TRUE(Parse({"--ui", "none", "--check", "\\a.bin", "--json"}, &options, &error)) << error;
  EXPECT_EQ(options.ui, HostUi::None);
  EXPECT_TRUE(options.json);
}

TEST(Version, ReportsTheModulesOperatingSystem) {
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_FALSE(AttachTempModuleWith({"board.os_major=6", "board.os_minor=1"}).empty());
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 6u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_CE);

  ASSERT_FALSE(AttachTempModule().empty());
  ASSERT_TRUE(GetVersionExW(&info));
  EXPECT_EQ(info.dwMajorVersion, 5u) << "5.0 unless the module says otherwise";
  EXPECT_EQ(info.dwMinorVersion, 0u);

  info.dwOSVersionInfoSize = 200;
  EXPECT_FALSE(GetVersionExW(&info));
  PlatformDetachModule();
}

}  // namespace
