#include "tests/support/temp_module.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/platform.h"

namespace {

// Temporary folders go away when the test process ends (a module holds a
// full-size flash image); FW_KEEP_TEMP=1 keeps them for a post-mortem.
struct TempDirs {
  pid_t owner = 0;
  std::vector<std::string> made;
};
TempDirs g_tempDirs;

void RemoveTempDirs() {
  // A forked child that exits normally must not take its parent's folders along.
  if (::getpid() != g_tempDirs.owner || std::getenv("FW_KEEP_TEMP") != nullptr) return;
  for (const std::string& dir : g_tempDirs.made) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
}

void Remember(const std::string& dir) {
  if (g_tempDirs.owner == 0) {
    g_tempDirs.owner = ::getpid();
    std::atexit(RemoveTempDirs);
  }
  g_tempDirs.made.push_back(dir);
}

}  // namespace

std::string MakeTempDir(const char* prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory " << templ;
    return {};
  }
  Remember(templ);
  return templ;
}

std::string AttachTempModule(const char* board) {
  std::string dir = MakeTempDir("fwmodule");
  if (dir.empty()) return {};
  std::string error;
  if (!ModuleCreate(dir, board, false, &error) || !PlatformAttachModule(dir, false, &error)) {
    ADD_FAILURE() << "cannot set up a module in " << dir << ": " << error;
    return {};
  }
  return dir;
}

std::string BuiltProgram(const char* name) { return std::string(FW_BINARY_DIR) + "/" + name; }
