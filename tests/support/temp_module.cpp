#include "tests/support/temp_module.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "platform/platform.h"

namespace {

// Temporary folders go away when the test that made them ends, the others
// when the test process ends: a module holds a full-size flash image, its disk
// room allocated, so a binary's worth of them could fill the disk.
// FW_KEEP_TEMP=1 keeps them for a post-mortem.
struct TempDirs {
  pid_t owner = 0;
  std::vector<std::string> made;      // outside any test
  std::vector<std::string> madeByTest;
  bool listening = false;
};
TempDirs g_tempDirs;

void RemoveAll(std::vector<std::string>* dirs) {
  // A forked child that exits normally must not take its parent's folders along.
  if (::getpid() != g_tempDirs.owner || std::getenv("FW_KEEP_TEMP") != nullptr) return;
  for (const std::string& dir : *dirs) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  dirs->clear();
}

void RemoveTempDirs() {
  RemoveAll(&g_tempDirs.madeByTest);
  RemoveAll(&g_tempDirs.made);
}

struct TestEndCleaner : testing::EmptyTestEventListener {
  void OnTestEnd(const testing::TestInfo&) override { RemoveAll(&g_tempDirs.madeByTest); }
};

void Remember(const std::string& dir) {
  if (g_tempDirs.owner == 0) {
    g_tempDirs.owner = ::getpid();
    std::atexit(RemoveTempDirs);
  }
  bool inTest = testing::UnitTest::GetInstance()->current_test_info() != nullptr;
  if (inTest && !g_tempDirs.listening) {
    testing::UnitTest::GetInstance()->listeners().Append(new TestEndCleaner);
    g_tempDirs.listening = true;
  }
  (inTest ? g_tempDirs.madeByTest : g_tempDirs.made).push_back(dir);
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

void KeepTempDirForTheRun(const std::string& dir) {
  std::vector<std::string>& byTest = g_tempDirs.madeByTest;
  for (size_t i = 0; i < byTest.size(); i++) {
    if (dir != byTest[i] && dir.rfind(byTest[i] + "/", 0) != 0) continue;
    g_tempDirs.made.push_back(byTest[i]);
    byTest.erase(byTest.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
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

bool ConfigureModule(const std::string& dir, const std::vector<std::string>& settings) {
  Module module;
  std::string error;
  bool ok = ModuleOpen(dir, &module, &error);
  for (size_t i = 0; ok && i < settings.size(); i++) ok = ModuleConfigAssign(&module.config, settings[i], &error);
  ok = ok && ModuleConfigSave(ModuleIniPath(dir), module.config, &error);
  if (!ok) ADD_FAILURE() << "cannot configure the module in " << dir << ": " << error;
  return ok;
}

std::string AttachTempModuleWith(const std::vector<std::string>& settings, const char* board) {
  std::string dir = MakeTempDir("fwmodule");
  ModuleConfig config;
  std::string error;
  bool ok = !dir.empty() && ModuleConfigForBoard(board, &config);
  for (size_t i = 0; ok && i < settings.size(); i++) ok = ModuleConfigAssign(&config, settings[i], &error);
  ok = ok && ModuleCreateFrom(dir, config, false, &error) && PlatformAttachModule(dir, false, &error);
  if (!ok) {
    ADD_FAILURE() << "cannot set up a module with the given settings in " << dir << ": " << error;
    return {};
  }
  return dir;
}

std::string BuiltProgram(const char* name) { return std::string(FW_BINARY_DIR) + "/" + name; }
