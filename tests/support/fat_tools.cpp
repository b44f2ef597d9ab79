#include "tests/support/fat_tools.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

namespace {

std::string Tool(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string path = std::string(dir) + name;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  ADD_FAILURE() << name << " is missing: scripts/install-deps installs dosfstools and mtools";
  return name;
}

}  // namespace

ProgramResult RunFatTool(const char* name, std::vector<std::string> args) {
  args.insert(args.begin(), Tool(name));
  return RunProgram(args, {{"MTOOLS_SKIP_CHECK", "1"}, {"LC_ALL", "C.UTF-8"}});
}

void ExpectFatClean(const std::string& image) {
  ProgramResult check = RunFatTool("fsck.fat", {"-n", image});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  // A clean check says only its version and the counts.
  EXPECT_EQ(std::count(check.out.begin(), check.out.end(), '\n'), 2) << check.out;
}
