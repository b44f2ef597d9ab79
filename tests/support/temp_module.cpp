#include "tests/support/temp_module.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>

#include "platform/platform.h"

std::string MakeTempDir(const char* prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory " << templ;
    return {};
  }
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
