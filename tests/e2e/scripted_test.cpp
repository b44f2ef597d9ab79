// Runs meant for scripts: no window that waits, and answers a program can read.
#include <gtest/gtest.h>

#include "module/bin_image_builder.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/temp_module.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// Ends a run that waits for someone, so that a fault fails instead of hanging.
constexpr char kWatchdogSeconds[] = "60";
constexpr int kWatchdogExpired = 124;

ProgramResult Watched(std::vector<std::string> args, const Env& env = {}, const std::string& input = "") {
  args.insert(args.begin(), {"/usr/bin/timeout", kWatchdogSeconds});
  return RunProgram(args, env, input);
}

// Whatever display the environment offers, --ui none opens no window.
class NoWindow : public testing::TestWithParam<Env> {};

TEST_P(NoWindow, NothingWaitsAndMessagesGoToStandardError) {
  std::string dir = MakeModule();
  std::string program = BuiltProgram("flashwright");
  ProgramResult r = Watched({program, "--module", dir, "--ui", "none", "/u", "\\missing.bin"}, GetParam());
  ASSERT_NE(r.exitCode, kWatchdogExpired) << "the error box waited\n" << r.err;
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("/u \\missing.bin failed"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("] (stop) "), std::string::npos) << "the error box itself, printed\n" << r.err;

  // No switch: the main dialog is closed rather than waited for.
  r = Watched({program, "--module", dir, "--ui", "none"}, GetParam());
  ASSERT_NE(r.exitCode, kWatchdogExpired) << "the main dialog waited\n" << r.err;
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("(no window: closed)"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Displays, NoWindow,
                         testing::Values(Env{}, Env{{"DISPLAY", "otherhost:0"}}, Env{{"QT_QPA_PLATFORM", "offscreen"}}));

// Reads the JSON on standard input with a real parser and prints what
// `expression` (over `d`) gives.
std::string Query(const std::string& json, const std::string& expression) {
  ProgramResult r = RunProgram({"/usr/bin/python3", "-c", "import json,sys; d=json.load(sys.stdin); print(" + expression + ")"},
                               {}, json);
  EXPECT_EQ(r.exitCode, 0) << "not JSON: " << json << "\n" << r.err;
  return r.out;
}

TEST(Json, CheckReportsThePlanAsOneObject) {
  std::string dir = MakeModule();
  std::string program = BuiltProgram("flashwright");
  ProgramResult r = Watched({program, "--module", dir, "--check", "\\USB HD\\IMAGES\\nk.bin", "--json"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(Query(r.out, "d['verdict'], d['reason'], d['file'], len(d['records']) > 0, d['records'][0]['flash_start'],"
                         " [x['name'] for x in d['regions']], d['streams'], d['cpld']"),
            "write None \\USB HD\\IMAGES\\nk.bin True 524288 ['OS Image'] [] []\n");

  // A whole-module backup carries a stream of the flash disk; its plan formats the store.
  ASSERT_EQ(Watched({program, "--module", dir, "--ui", "none", "/b", "\\Temp\\all.bin"}).exitCode, 1);
  r = Watched({program, "--module", dir, "--check", "\\Temp\\all.bin", "--json"});
  EXPECT_EQ(Query(r.out, "d['verdict'], len(d['streams']), d['streams'][0]['plan']['kind'],"
                         " d['streams'][0]['plan']['formats_store']"),
            "write 1 sectors True\n");

  // A refused file, with a name that needs escaping, comes back as it was given.
  std::string name = "\\Temp\\caf\xC3\xA9\t\"q\".bin";
  r = Watched({program, "--module", dir, "--check", name, "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(Query(r.out, "d['verdict'], d['file'] == " + std::string("'\\\\Temp\\\\caf\\u00e9\\t\"q\".bin'") +
                         ", 'FWLSetBinFile error' in d['reason'], d['records'], d['regions']"),
            "refuse True True [] []\n");
}

class ModuleJson : public testing::TestWithParam<std::string> {};

TEST_P(ModuleJson, InfoDescribesTheModuleAsOneObject) {
  std::string dir = MakeModule({}, GetParam());
  ProgramResult r = Watched({BuiltProgram("fwmodule"), "info", dir, "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  bool nand = GetParam() == "nand";
  EXPECT_EQ(Query(r.out, "d['board']['name'], d['chips']['flash']['kind'], d['chips']['cpld'] is None,"
                         " d['regions_error'], d['versions']['os']['major'] >= 0,"
                         " [x['version'] is not None for x in d['regions'] if x['name'] == 'OS image']"),
            GetParam() + " " + GetParam() + (nand ? " False" : " True") + " None True [True]\n");
}

INSTANTIATE_TEST_SUITE_P(Boards, ModuleJson, testing::Values("nor", "nand"),
                         [](const testing::TestParamInfo<std::string>& board) { return board.param; });

}  // namespace
