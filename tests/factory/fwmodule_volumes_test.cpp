// fwmodule put, ls, get and export on a module's flash disk volume, with the
// exported partition judged by the system's FAT tools.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "module/atomic_file.h"
#include "tests/support/fat_tools.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

constexpr time_t kHostWritten = 1433664550;  // 2015-06-07 08:09:10 UTC

ProgramResult Fwmodule(const std::string& command, const std::string& dir, std::vector<std::string> rest) {
  rest.insert(rest.begin(), {BuiltProgram("fwmodule"), command, dir});
  return RunProgram(rest);
}

std::string Pattern(size_t bytes, unsigned seed) {
  std::string data(bytes, '\0');
  for (size_t i = 0; i < bytes; i++) data[i] = static_cast<char>((i * 131 + seed * 17 + i / 251) & 0xFF);
  return data;
}

std::string HostContent(const std::string& path) {
  std::string data, error;
  EXPECT_TRUE(ReadWholeFile(path, &data, &error)) << error;
  return data;
}

struct VolumeFile {
  const char* volumePath;  // as the module names it
  const char* toolPath;    // as mtools names it inside the exported partition
  size_t bytes;
  bool factory;  // laid down by the factory, not put by the test
};

const VolumeFile kFiles[] = {
    {"\\Hard Disk\\A rather long name for a measurement file.dat",
     "::/A rather long name for a measurement file.dat", 9000, false},
    {"\\Hard Disk\\New Folder\\Deeper\\data.bin", "::/New Folder/Deeper/data.bin", 1300, false},
    {"\\Hard Disk\\Documents\\empty.txt", "::/Documents/empty.txt", 0, false},
    {"\\Hard Disk\\Documents\\Calibration Data\\sensor-settings.ini",
     "::/Documents/Calibration Data/sensor-settings.ini", 700, true},
    {"\\Hard Disk\\Recorded measurements 2009.csv", "::/Recorded measurements 2009.csv", 70000, true},
};

// Every file (the factory's only, before the test put its own) reads back
// the same through mtools from `image` as fwmodule get gives it.
void ExpectToolsAgree(const std::string& dir, const std::string& image, const std::string& work, bool put) {
  ExpectFatClean(image);
  for (const VolumeFile& f : kFiles) {
    if (!f.factory && !put) continue;
    std::string ours = work + "/ours", theirs = work + "/theirs";
    std::filesystem::remove(theirs);
    ProgramResult r = Fwmodule("get", dir, {f.volumePath, ours});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = RunFatTool("mcopy", {"-n", "-i", image, f.toolPath, theirs});
    ASSERT_EQ(r.exitCode, 0) << f.toolPath << ": " << r.err;
    EXPECT_EQ(HostContent(theirs), HostContent(ours)) << f.toolPath;
  }
}

TEST(FwmoduleVolumes, FilesPutInReadBackAndPassTheSystemFatTools) {
  std::string dir = MakeTempDir("fwvolumes"), work = MakeTempDir("fwvolumeswork");
  ASSERT_EQ(Fwmodule("create", dir, {}).exitCode, 0);
  ASSERT_EQ(Fwmodule("export", dir, {"Part00", work + "/fresh.img"}).exitCode, 0);
  ExpectToolsAgree(dir, work + "/fresh.img", work, false);

  for (unsigned i = 0; i < std::size(kFiles); i++) {
    const VolumeFile& f = kFiles[i];
    if (f.factory) continue;
    std::string host = work + "/in" + std::to_string(i), error;
    ASSERT_TRUE(AtomicWriteFile(host, Pattern(f.bytes, i), &error)) << error;
    timespec times[2] = {{kHostWritten, 0}, {kHostWritten, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, host.c_str(), times, 0), 0);
    ProgramResult r = Fwmodule("put", dir, {host, f.volumePath});
    ASSERT_EQ(r.exitCode, 0) << f.volumePath << ": " << r.err;
    r = Fwmodule("get", dir, {f.volumePath, work + "/out"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(HostContent(work + "/out"), Pattern(f.bytes, i)) << f.volumePath;
  }

  ProgramResult r = Fwmodule("ls", dir, {"\\Hard Disk"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("2015-06-07 08:09:10  ----A        9000  A rather long name for a measurement file.dat\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("---D-       <DIR>  New Folder\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2009-03-05 14:03:06  ----A       70000  Recorded measurements 2009.csv\n"),
            std::string::npos)
      << r.out;
  r = Fwmodule("ls", dir, {"\\hard disk\\new folder\\deeper"});
  EXPECT_EQ(r.out, "2015-06-07 08:09:10  ----A        1300  data.bin\n") << r.err;
  r = Fwmodule("ls", dir, {"\\Hard Disk\\Documents"});
  EXPECT_NE(r.out.find("----A           0  empty.txt\n"), std::string::npos) << r.out;

  ASSERT_EQ(Fwmodule("export", dir, {"Part00", work + "/used.img"}).exitCode, 0);
  ExpectToolsAgree(dir, work + "/used.img", work, true);
  std::filesystem::remove_all(dir);
  std::filesystem::remove_all(work);
}

struct Refusal {
  const char* name;
  std::vector<std::string> args;  // after the module directory; "OUT" is a host file
  const char* message;
};

class FwmoduleRefusalTest : public testing::TestWithParam<Refusal> {};

TEST_P(FwmoduleRefusalTest, FailsWithAMessageAndWritesNothing) {
  std::string dir = MakeTempDir("fwrefusal"), out = dir + "/refused.out";
  ASSERT_EQ(Fwmodule("create", dir, {}).exitCode, 0);
  std::vector<std::string> args(GetParam().args.begin() + 1, GetParam().args.end());
  for (std::string& a : args) a = a == "OUT" ? out : a;
  ProgramResult r = Fwmodule(GetParam().args[0], dir, args);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, FwmoduleRefusalTest,
    testing::Values(Refusal{"PathOffTheVolumes", {"ls", "\\Windows"}, "\\Windows is not on a volume of the module"},
                    Refusal{"MissingFile", {"get", "\\Hard Disk\\Documents\\missing.txt", "OUT"}, "missing.txt: not found"},
                    Refusal{"UnknownPartition", {"export", "Part01", "OUT"}, "has no partition Part01 (it has: Part00)"}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

}  // namespace
