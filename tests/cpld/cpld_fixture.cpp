#include "tests/cpld/cpld_fixture.h"

#include <map>

#include "platform/clock.h"
#include "platform/platform.h"
#include "tests/support/program_layers.h"
#include "tests/support/temp_module.h"

void CpldTest::SetUp() { ClockSkipSleepsForTests(true); }

void CpldTest::TearDown() {
  ResetProgramLayersForTests();
  PlatformDetachModule();
  ClockSkipSleepsForTests(false);
}

void CpldTest::Attach(const std::vector<std::string>& settings, const char* board) {
  ResetProgramLayersForTests();
  PlatformDetachModule();
  dir_ = AttachTempModuleWith(settings, board);
  ASSERT_FALSE(dir_.empty());
}

void CpldTest::AttachShared(const std::vector<std::string>& settings, const char* board) {
  static std::map<std::string, std::string> made;
  std::string key = board;
  for (const std::string& s : settings) key += " " + s;
  auto found = made.find(key);
  if (found == made.end()) {
    ASSERT_NO_FATAL_FAILURE(Attach(settings, board));
    KeepTempDirForTheRun(dir_);
    made[key] = dir_;
    return;
  }
  ResetProgramLayersForTests();
  PlatformDetachModule();
  dir_ = found->second;
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
}

void CpldTest::StartTrace() { StartBusTrace(); }

std::vector<BusTraceEntry> CpldTest::Trace() { return TakeBusTrace(); }
