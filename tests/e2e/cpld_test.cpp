// The CPLD through the built program: the CPLDVersion report in the console,
// and an update with an image that holds only a CPLD section.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "cpld/jtag.h"
#include "cpld/xsvf.h"
#include "module/bin_image_builder.h"
#include "module/cpld_model.h"
#include "module/hardware.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/hardware_link.h"
#include "platform/platform.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/program_layers.h"
#include "tests/support/temp_module.h"
#include "tests/support/xsvf_writer.h"

namespace {

const std::string kLightLed = std::string(FW_SHARED_TESTDATA) + "/xsvf/xc2c64a-light-led.xsvf";

struct ReportCase {
  const char* name;
  const char* setting;
  const char* answer;  // to the warning
  const char* shown;   // the box that follows it; null: none
  const char* info;    // what fwmodule info says of the same word; null: nothing asked
};

class CpldVersionButton : public ::testing::TestWithParam<ReportCase> {};

// CPLDVersion, the answer to the warning, then the main dialog closed.
TEST_P(CpldVersionButton, Report) {
  const ReportCase& c = GetParam();
  std::string dir = MakeModule({c.setting}, "nand");
  ProgramResult r = Flashwright(dir, {}, std::string("p\n") + c.answer + "\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("[WARNING] (!) To read the CPLD Version the SODIMM pins 88, 90 and 92"), std::string::npos)
      << r.err;
  if (c.shown != nullptr) {
    EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
  } else {
    EXPECT_EQ(r.err.find("[CPLD Version]"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("[ERROR]"), std::string::npos) << r.err;
  }
  if (c.info != nullptr) {
    ProgramResult info = RunProgram({BuiltProgram("fwmodule"), "info", dir});
    EXPECT_NE(info.out.find(c.info), std::string::npos) << info.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Modules, CpldVersionButton,
    ::testing::Values(ReportCase{"Factory", "cpld.usercode=0x00010002", "y", "[CPLD Version] CPLD Ver:\t1.2 \n",
                                 "USERCODE 0x00010002 (version 1.2)"},
                      ReportCase{"Beta", "cpld.usercode=0x00020305", "y",
                                 "[CPLD Version] CPLD Ver:\t2.5 BETA, Build 3\n", "(version 2.5 BETA, Build 3)"},
                      ReportCase{"NoVersion", "cpld.usercode=0xFFFFFFFF", "y",
                                 "(user code FFFFFFFF): it is blank, its programming did not finish",
                                 "USERCODE 0xFFFFFFFF (no version"},
                      ReportCase{"NoCpld", "cpld.idcode=0", "y", "No CPLD found.", nullptr},
                      ReportCase{"OtherDevice", "cpld.idcode=0x06E5D094", "y", "This CPLD version isn't supported.",
                                 nullptr},
                      ReportCase{"AnsweredNo", "cpld.usercode=0x00010002", "n", nullptr, nullptr}),
    [](const ::testing::TestParamInfo<ReportCase>& info) { return info.param.name; });

std::string Digest(const std::string& dir) {
  ProgramResult r = RunProgram({BuiltProgram("fwmodule"), "cpld", dir, "--digest"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.out;
}

// The array the design leaves when the player alone plays it on a module.
std::string PlayedDigest(const std::vector<uint8_t>& stream, uint32_t played = 1) {
  std::string dir = AttachTempModuleWith({}, "nand");
  ClockSkipSleepsForTests(true);
  EXPECT_EQ(XsvfRun(stream.data(), static_cast<uint32_t>(stream.size())), played);
  ClockSkipSleepsForTests(false);
  ResetProgramLayersForTests();
  PlatformDetachModule();
  return Digest(dir);
}

TEST(CpldUpdate, ImageWithOnlyTheDesign) {
  std::ifstream in(kLightLed, std::ios::binary);
  std::vector<uint8_t> stream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_FALSE(stream.empty()) << kLightLed;

  std::string dir = MakeModule({}, "nand");
  std::string image = ModuleRootPath(dir) + "/Temp/cpld.bin";
  ProgramResult built = RunProgram({BuiltProgram("fwimage"), "build", image, "--cpld", kLightLed});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  ProgramResult info = RunProgram({BuiltProgram("fwimage"), "info", image});
  EXPECT_NE(info.out.find("bin part    none"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("cpld        at 0x00000000: mode 1"), std::string::npos) << info.out;

  std::string factory = Digest(dir);
  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\cpld.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err.find("[ERROR]"), std::string::npos) << r.err;
  std::string programmed = Digest(dir);
  EXPECT_NE(programmed, factory);
  EXPECT_EQ(programmed, PlayedDigest(stream));
}

// Cut where zero padding reads as XCOMPLETE: the builder refuses the stream,
// and an image assembled around it anyway is refused by the check, the
// update and the image tool alike, with the CPLD's array as it was.
TEST(CpldUpdate, ADesignCutShortIsRefusedAndTheArrayKept) {
  XsvfStream design = XsvfVendorFile("xc2c64a-light-led.xsvf");
  uint32_t cut = 0;
  for (uint32_t start : XsvfCommandStarts(design)) {
    if (start > design.size() / 2 && start % 4 != 0) {
      cut = start;
      break;
    }
  }
  ASSERT_NE(cut, 0u);
  std::string reason = "the CPLD stream ends at byte " + std::to_string(cut) + " without XCOMPLETE";

  std::string dir = MakeModule({}, "nand");
  std::string temp = ModuleRootPath(dir) + "/Temp/";
  std::string error;
  XsvfStream cutStream(design.begin(), design.begin() + cut);
  ASSERT_TRUE(BinImageWriteFile(temp + "cut.xsvf", cutStream, &error)) << error;
  ProgramResult built = RunProgram({BuiltProgram("fwimage"), "build", temp + "built.bin", "--cpld", temp + "cut.xsvf"});
  EXPECT_EQ(built.exitCode, 2);
  EXPECT_NE(built.err.find(reason), std::string::npos) << built.err;

  BinImageSpec spec;
  spec.hasBinPart = false;
  spec.hasCpld = true;
  spec.cpld.data = cutStream;
  std::vector<uint8_t> image;
  ASSERT_TRUE(BinImageBuild(spec, &image, &error)) << error;
  ASSERT_TRUE(BinImageWriteFile(temp + "cut.bin", image, &error)) << error;
  ProgramResult info = RunProgram({BuiltProgram("fwimage"), "info", temp + "cut.bin"});
  EXPECT_EQ(info.exitCode, 1);
  EXPECT_NE(info.out.find("stream REFUSED: " + reason), std::string::npos) << info.out;

  ProgramResult check = Flashwright(dir, {"--check", "\\Temp\\cut.bin"});
  EXPECT_EQ(check.exitCode, 0);
  EXPECT_NE(check.out.find(reason), std::string::npos) << check.out;

  std::string factory = Digest(dir);
  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\cut.bin"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
  EXPECT_EQ(Digest(dir), factory);
}

// The design's stream, failing once the rows are programmed (a verify read
// that cannot match) or half-way through them (a TAP move the check cannot
// foresee: Exit2-DR from Run-Test/Idle).
enum class Failure { Verify, Move };

XsvfStream FailingDesign(Failure failure) {
  XsvfStream s = XsvfVendorFile("xc2c64a-light-led.xsvf");
  std::vector<uint32_t> starts = XsvfCommandStarts(s);
  if (failure == Failure::Move) {
    s.insert(s.begin() + starts[starts.size() / 5], {XSTATE, JTAG_EXIT2_DR});
    return s;
  }
  // Row reads are the 274-bit compared scans; every bit of the middle one's
  // expected value flipped, some of them under its mask.
  std::vector<uint32_t> reads;
  uint32_t bits = 0;
  for (uint32_t start : starts) {
    if (s[start] == XSDRSIZE) bits = (s[start + 1] << 24) | (s[start + 2] << 16) | (s[start + 3] << 8) | s[start + 4];
    if (s[start] == XSDRTDO && bits == kCpldRowBits) reads.push_back(start);
  }
  uint32_t bytes = (kCpldRowBits + 7) / 8;
  uint32_t expected = reads.at(reads.size() / 2) + 1 + bytes;
  for (uint32_t i = 0; i < bytes; i++) s[expected + i] ^= 0xFF;
  return s;
}

class FailedDesign : public ::testing::TestWithParam<Failure> {};

// What the failed run erased and programmed stays in the CPLD, as in a real
// part, and both the update's message and the version report say so.
TEST_P(FailedDesign, LeavesTheRowsItProgrammed) {
  XsvfStream stream = FailingDesign(GetParam());
  std::string dir = MakeModule({}, "nand");
  std::string temp = ModuleRootPath(dir) + "/Temp/";
  std::string error;
  ASSERT_TRUE(BinImageWriteFile(temp + "design.xsvf", stream, &error)) << error;
  ProgramResult built =
      RunProgram({BuiltProgram("fwimage"), "build", temp + "design.bin", "--cpld", temp + "design.xsvf"});
  ASSERT_EQ(built.exitCode, 0) << built.err;

  std::string factory = Digest(dir);
  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\design.bin"});
  EXPECT_NE(r.err.find("Error during CPLD update."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("The CPLD may now be blank or part programmed"), std::string::npos) << r.err;
  std::string left = Digest(dir);
  EXPECT_NE(left, factory);
  EXPECT_EQ(left, PlayedDigest(stream, 0));
  ProgramResult info = RunProgram({BuiltProgram("fwmodule"), "info", dir});
  EXPECT_NE(info.out.find("its programming never finished"), std::string::npos) << info.out;
  ProgramResult report = Flashwright(dir, {}, "p\ny\nclose\n");
  EXPECT_NE(report.err.find("CPLD Ver:\tnone"), std::string::npos) << report.err;
}

INSTANTIATE_TEST_SUITE_P(Failures, FailedDesign, ::testing::Values(Failure::Verify, Failure::Move),
                         [](const ::testing::TestParamInfo<Failure>& info) {
                           return info.param == Failure::Verify ? "VerifyMismatch" : "RefusedMove";
                         });

}  // namespace
