// The fwimage tool end to end: files it builds are what the program
// validates, and its report names the faults and where records land.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/results.h"
#include "module/module_dir.h"
#include "tests/image/image_fixture.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

class FwimageTest : public ImageTest {
 protected:
  std::string Raw(const char* name, size_t bytes, uint32_t seed) {
    std::string path = work_ + "/" + name;
    std::string error;
    EXPECT_TRUE(BinImageWriteFile(path, Pattern(bytes, seed), &error)) << error;
    return path;
  }
  ProgramResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), BuiltProgram("fwimage"));
    return RunProgram(args);
  }
  // The built file, placed in the module for the program.
  std::u16string Adopt(const std::string& path, const char* name) {
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(BinImageReadFile(path, &bytes, &error)) << error;
    return PlaceBytes(bytes, name);
  }
  std::string work_ = MakeTempDir("fwimage");
};

TEST_F(FwimageTest, BuildsWhatTheProgramValidatesAndReportsWhereItLands) {
  Attach({"board.two_stage=true"});
  std::string out = work_ + "/boot.bin", stream = work_ + "/fs.stream";
  ProgramResult r = Run({"stream", stream, "--chunk", "0", Raw("sectors", 2048, 1)});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Run({"build", out, "--start", "0xBCA00000", "--record", "0xBCA00000", Raw("a", 3000, 2), "--record",
           "0xBCA02000", Raw("b", 100, 3), "--split", "1024", "--stream", stream, "--cpld",
           std::string(FW_SHARED_TESTDATA) + "/xsvf/xc2c64a-idcode.xsvf", "--cpld-mode", "2"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  RegionSummary summary = {};
  ASSERT_EQ(Validate(Adopt(out, "boot.bin"), &summary), FWL_OK);
  EXPECT_EQ(summary.flags, IMAGE_HAS_BIN_RECORDS | REGION_FIRST_BOOTLOADER | REGION_FILE_SYSTEM);
  EXPECT_EQ(summary.start, 0x80000u);

  // The module's verdict is the update's own: a bootloader moved onto the
  // second one may bring nothing else on a fail-safe module, and this file
  // brings a stream too.
  r = Run({"info", out, "--module", dir_});
  EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
  for (const char* line : {"image start 0xBCA00000, length 0x00002064, 4 records", "0xBCA00800  0x000003B8",
                           "in 1 chunks", "mode 2, header 24 bytes, data 96 bytes, checksum ok",
                           "mapped to flash 0x00080000-0x00082063",
                           "checksum 0x00002ef3 -> flash 0x00082000-0x00082063",
                           "verdict     the update would refuse this file: Updating with this bin file is not allowed "
                           "since the FailSafe feature is enabled!"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
}

TEST_F(FwimageTest, DamagedFilesAreReportedAsTheProgramRefusesThem) {
  Attach();
  std::string raw = Raw("os", 5000, 4);
  struct Case {
    std::vector<std::string> options;
    const char* shown;
    uint32_t validation;
  } cases[] = {
      {{"--bad-checksum", "2", "--split", "2048"}, "BAD", FWL_ERR_CHECKSUM},
      {{"--truncate", "20"}, "NO END RECORD", FWL_ERR_FILE_FORMAT},
      {{"--length", "4096", "--allow-outside"}, "OUTSIDE THE IMAGE RANGE", FWL_ERR_FILE_FORMAT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    std::string out = work_ + "/damaged.bin";
    std::vector<std::string> args = {"build", out, "--record", "0x80200000", raw};
    args.insert(args.end(), c.options.begin(), c.options.end());
    ProgramResult r = Run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = Run({"info", out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
    EXPECT_EQ(Validate(Adopt(out, "damaged.bin")), c.validation);
  }
}

TEST_F(FwimageTest, RefusesWhatItCannotDo) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"build"},
           {"build", work_ + "/x.bin", "--start", "0x1000"},
           {"build", work_ + "/x.bin", "--record", "0x1000", work_ + "/missing"},
           {"build", work_ + "/x.bin", "--record", "0x1000"},
           {"build", work_ + "/x.bin", "--length", "big"},
           {"info"},
           {"info", work_ + "/missing.bin"},
           {"frobnicate"}}) {
    ProgramResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << args.size();
    EXPECT_FALSE(r.err.empty());
  }
}

}  // namespace
