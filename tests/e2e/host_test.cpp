#include <gtest/gtest.h>
#include <sys/stat.h>

#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/module_content.h"
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

// Every program answers --version; started with its standard streams closed,
// none reads or draws into the files it opens next.
TEST(Host, ProgramsAnswerTheirVersionAndBearClosedStandardStreams) {
  for (const char* program : {"flashwright", "fwimage", "fwmodule"}) {
    ProgramResult r = RunProgram({BuiltProgram(program), "--version"});
    EXPECT_EQ(r.exitCode, 0) << program;
    EXPECT_NE(r.out.find("3.7.1"), std::string::npos) << program << r.out;
  }
  std::string dir = MakeModule();
  std::string lock = dir + "/locks/OnModuleFlash";
  ASSERT_EQ(Flashwright(dir, {"/fu"}).exitCode, 1);
  size_t lockBytes = ReadFile(lock).size();  // the owner's record, rewritten by every run
  // The main dialog in the terminal, each stream closed in turn: nothing is
  // read from or drawn into the files the program opens next.
  for (const char* closed : {"<&-", ">&-", "2>&-"}) {
    std::string line = std::string("exec \"$0\" --module \"$1\" --ui console </dev/null ") + closed;
    ProgramResult r = RunProgram({"/bin/sh", "-c", line, BuiltProgram("flashwright"), dir});
    EXPECT_EQ(r.exitCode, 1) << closed;
    std::string after = ReadFile(lock);
    EXPECT_EQ(after.size(), lockBytes) << closed << ": " << after;
  }
}

// fwimage makes no empty image and calls a file without any part no image.
TEST(Host, FwimageRefusesToMakeOrPassAnEmptyImage) {
  std::string work = MakeTempDir("fwempty");
  ProgramResult r = RunProgram({BuiltProgram("fwimage"), "build", work + "/empty.bin"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("nothing to put in"), std::string::npos) << r.err;
  EXPECT_FALSE(Exists(work + "/empty.bin"));
  std::string error;
  ASSERT_TRUE(BinImageWriteFile(work + "/text.bin", BinFillerBytes(100, 1), &error)) << error;
  r = RunProgram({BuiltProgram("fwimage"), "info", work + "/text.bin"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("not an image file"), std::string::npos) << r.out;
}

class HostCheck : public testing::TestWithParam<std::string> {};

// The dry run takes what the update takes, says what it would write where,
// refuses what the update refuses with the update's reason, and writes
// nothing either way.
TEST_P(HostCheck, JudgesAnImageAsTheUpdateWouldAndWritesNothing) {
  std::string dir = MakeModule({}, GetParam());
  std::vector<uint8_t> before = ModuleFlashContent(dir);
  ProgramResult r = Flashwright(dir, {"--check", "\\USB HD\\IMAGES\\nk.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  for (const char* part : {"record      1    at 0x80200000, 0x00010000 bytes, checksum 0x", "-> flash 0x00080000-0x0008ffff",
                           "region      OS Image           flash 0x00080000-", "verdict     the update would write"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
  }

  // A record whose byte sum no longer matches its data.
  constexpr size_t kFirstRecordData = 7 + 8 + 12;
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(BinImageBuild(BinSingleRecordImage(0x80000, BinFillerBytes(0x1000, 1)), &bytes, &error)) << error;
  bytes[kFirstRecordData] ^= 1;
  ASSERT_TRUE(BinImageStore(dir, "bad.bin", bytes, &error)) << error;
  r = Flashwright(dir, {"--check", "\\USB HD\\IMAGES\\bad.bin"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find("verdict     the update would refuse this file: FWLSetBinFile error 17 (Bin file with corrupt CRC!"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(ModuleFlashContent(dir) == before);
}

INSTANTIATE_TEST_SUITE_P(Boards, HostCheck, testing::Values("nor", "nand"),
                         [](const testing::TestParamInfo<std::string>& board) { return board.param; });

TEST(Host, VerboseRecordsEachFlashOperation) {
  std::string dir = MakeModule();
  ProgramResult quiet = Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\nk.bin"});
  EXPECT_EQ(quiet.exitCode, 1) << quiet.err;
  EXPECT_EQ(quiet.err.find("flash: "), std::string::npos) << "off by default\n" << quiet.err;
  ProgramResult r = Flashwright(dir, {"--verbose", "/u", "\\USB HD\\IMAGES\\nk.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  // The OS image's erase covers its 0x64000 bytes; its first record is written and read back.
  for (const char* line : {"flash: erase 0x00080000 +0x64000: ok\n", "flash: write 0x00080000 +0x10000: ok\n",
                           "flash: read 0x00080000 +0x4000: ok\n"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
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

namespace {

// A script that reads only the start of the program's output closes the pipe
// while the update still writes the flash; the update must run to its end.
TEST(Host, AReaderThatGoesAwayDoesNotCutTheUpdate) {
  std::string dir = MakeModule();
  constexpr uint32_t kAt = 0x80000;
  std::vector<uint8_t> data = BinFillerBytes(0x200000, 5);
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(BinImageBuild(BinSingleRecordImage(kAt, data), &file, &error)) << error;
  ASSERT_TRUE(BinImageStore(dir, "big.bin", file, &error)) << error;
  std::string command = BuiltProgram("flashwright") + " --module '" + dir +
                        "' --ui console --verbose /u '\\USB HD\\IMAGES\\big.bin' 2>&1 | head -c 1";
  ProgramResult r = RunProgram({"/bin/sh", "-c", command});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(ModuleFlashContent(dir, kAt, static_cast<uint32_t>(data.size())) == data);
}

}  // namespace
