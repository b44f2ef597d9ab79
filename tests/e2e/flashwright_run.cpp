#include "tests/e2e/flashwright_run.h"

#include <gtest/gtest.h>

#include "module/atomic_file.h"
#include "tests/support/temp_module.h"

std::string MakeModule(const std::vector<std::string>& settings) {
  std::string dir = MakeTempDir("fwcmd");
  std::vector<std::string> create = {BuiltProgram("fwmodule"), "create", dir};
  for (const std::string& setting : settings) {
    create.push_back("--set");
    create.push_back(setting);
  }
  EXPECT_EQ(RunProgram(create).exitCode, 0);
  return dir;
}

ProgramResult Flashwright(const std::string& dir, std::vector<std::string> switches, const std::string& input) {
  switches.insert(switches.begin(), {BuiltProgram("flashwright"), "--module", dir, "--ui", "console"});
  return RunProgram(switches, {}, input);
}

std::string ReadFile(const std::string& path) {
  std::string text, error;
  ReadWholeFile(path, &text, &error);
  return text;
}
