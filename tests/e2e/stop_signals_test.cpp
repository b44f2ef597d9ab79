#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/support/flash_lock_probe.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/temp_module.h"

namespace {

const char kNkBin[] = "\\USB HD\\IMAGES\\nk.bin";
constexpr auto kWriteStartLimit = std::chrono::seconds(60);

struct SignalCase {
  const char* name;
  const char* board;
  int signal;
  bool stops;  // a second signal follows the warning
  int exitCode;
  const char* said;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

// True once the program's standard error (where the console shows progress) holds `text`.
bool WaitForText(const RunningProgram& program, const char* text) {
  auto until = std::chrono::steady_clock::now() + kWriteStartLimit;
  while (std::chrono::steady_clock::now() < until) {
    if (ReadFile(program.dir + "/err").find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class StopSignals : public testing::TestWithParam<SignalCase> {};

TEST_P(StopSignals, WarnOnceThenStopBetweenPiecesAndFreeTheLock) {
  const SignalCase& c = GetParam();
  std::string dir = MakeModule({"flash.timing=realistic"}, c.board);
  // The save after the update shows whether the run went on.
  RunningProgram run = StartFlashwright(dir, {"/u", kNkBin, "/f"});
  ASSERT_TRUE(WaitForText(run, "Section Start")) << FinishProgram(run).err;
  ASSERT_EQ(::kill(run.pid, c.signal), 0);
  if (c.stops) {
    // Sent before the first is handled, the second would merge into it.
    ASSERT_TRUE(WaitForText(run, "Send the signal again")) << FinishProgram(run).err;
    ASSERT_EQ(::kill(run.pid, c.signal), 0);
  }
  ProgramResult r = FinishProgram(run);
  EXPECT_EQ(r.signal, 0) << "killed outright";
  EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
  EXPECT_NE(r.err.find("Send the signal again"), std::string::npos) << "the first signal warns\n" << r.err;
  EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Registry successfully saved") == std::string::npos, c.stops) << r.err;
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  EXPECT_TRUE(OtherProcessTakesFlashLock(2000)) << "the stopped update kept the flash lock";
  PlatformDetachModule();
}

INSTANTIATE_TEST_SUITE_P(
    Runs, StopSignals,
    testing::Values(SignalCase{"NorOneHangupGoesOn", "nor", SIGHUP, false, 1, "Registry successfully saved"},
                    SignalCase{"NorTwoInterruptsStop", "nor", SIGINT, true, 0,
                               "These sections are left incomplete: - OS Image"},
                    SignalCase{"NandTwoTerminatesStop", "nand", SIGTERM, true, 0,
                               "These sections are left incomplete: - OS Image"}),
    [](const testing::TestParamInfo<SignalCase>& info) { return std::string(info.param.name); });

// Outside flash work (here the wait before a restart) a signal ends the
// program as before.
TEST(StopSignalsIdle, EndTheProgramAtOnce) {
  std::string dir = MakeModule();
  RunningProgram run = StartFlashwright(dir, {"/rc20000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(::kill(run.pid, SIGINT), 0);
  EXPECT_EQ(FinishProgram(run).signal, SIGINT);
}

}  // namespace
