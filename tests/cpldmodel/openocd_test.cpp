// A JTAG tool that is not ours programs one module's CPLD through
// `fwmodule jtag-server`, our program's image update another's: the two
// arrays must come out the same.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "module/module_dir.h"
#include "tests/cpldmodel/cpld_fixture.h"
#include "tests/support/jtag_server_process.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

constexpr char kLedFile[] = "xc2c64a-light-led.xsvf";
constexpr int kServerWaitPolls = 200;  // of 50 ms: the session has ended long before

// The program's path on PATH, or empty.
std::string OnPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = dir + "/" + name;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string NewNandModule() {
  std::string dir = MakeTempDir("cpldocd");
  std::string error;
  EXPECT_TRUE(ModuleCreate(dir, "nand", false, &error)) << error;
  return dir;
}

// The server's exit code once its session ended; it is stopped if it lingers.
int StopServer(const JtagServerProcess& s) {
  int status = 0;
  for (int i = 0; i < kServerWaitPolls; i++) {
    if (::waitpid(s.pid, &status, WNOHANG) == s.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    ::usleep(50000);
  }
  ::kill(s.pid, SIGTERM);
  ::waitpid(s.pid, &status, 0);
  ADD_FAILURE() << "the server did not end with the session";
  return -1;
}

std::string ArrayDigest(const std::string& dir) {
  CpldArray array;
  bool found = false;
  std::string error;
  EXPECT_TRUE(CpldArrayLoad(ModuleCpldPath(dir), &array, &found, &error)) << error;
  return CpldArrayDigest(array);
}

// The digest `fwmodule cpld --digest` prints for the module in `dir`.
std::string FwmoduleDigest(const std::string& dir) {
  ProgramResult digest = RunProgram({BuiltProgram("fwmodule"), "cpld", dir, "--digest"});
  EXPECT_EQ(digest.exitCode, 0) << digest.err;
  return digest.out;
}

TEST(OpenOcdPeer, ProgramsTheCpldAsOurUpdateDoes) {
  std::string openocd = OnPath("openocd");
  if (openocd.empty()) GTEST_SKIP() << "openocd is not installed (scripts/install-deps installs it)";
  std::string file = std::string(FW_SHARED_TESTDATA) + "/xsvf/" + kLedFile;

  std::string peerDir = NewNandModule();
  JtagServerProcess server = StartJtagServer(BuiltProgram("fwmodule"), peerDir);
  ASSERT_GT(server.pid, 0);
  ASSERT_NE(server.port, 0u) << "the server printed no port";
  std::string port = std::to_string(server.port);
  ProgramResult r = RunProgram({openocd, "-c", "adapter driver remote_bitbang", "-c", "remote_bitbang port " + port,
                                "-c", "remote_bitbang host 127.0.0.1", "-c", "transport select jtag", "-c",
                                "jtag newtap cpld tap -irlen 8 -expected-id 0x06e5d093", "-c", "init", "-c",
                                "xsvf cpld.tap " + file, "-c", "shutdown"});
  EXPECT_EQ(StopServer(server), 0);
  ASSERT_EQ(r.exitCode, 0) << r.err;

  std::string ownDir = NewNandModule();
  std::string image = ModuleRootPath(ownDir) + "/Temp/led.bin";
  ProgramResult built = RunProgram({BuiltProgram("fwimage"), "build", image, "--cpld", file});
  ASSERT_EQ(built.exitCode, 0) << built.err;
  ProgramResult update = RunProgram(
      {BuiltProgram("flashwright"), "--module", ownDir, "--ui", "console", "/u", "\\Temp\\led.bin"});
  ASSERT_EQ(update.exitCode, 1) << update.err;

  std::string own = FwmoduleDigest(ownDir);
  EXPECT_EQ(FwmoduleDigest(peerDir), own);
  EXPECT_EQ(ArrayDigest(ownDir) + "\n", own);
}

}  // namespace
