#include <gtest/gtest.h>

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <sstream>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

// What `fwmodule info` lists under "regions": name -> (offset, the line and
// its continuation lines).
std::map<std::string, std::pair<uint32_t, std::string>> InfoRegions(const std::string& info) {
  std::map<std::string, std::pair<uint32_t, std::string>> regions;
  std::istringstream lines(info);
  std::string line, current;
  while (std::getline(lines, line)) {
    unsigned offset = 0;
    char first[32] = {}, second[32] = {};
    if (std::sscanf(line.c_str(), "  0x%8x  %31s %31s", &offset, first, second) == 3) {
      std::string name = first;
      if (name == "first" || name == "second" || name == "config" || name == "OS" || name == "file") {
        name += std::string(" ") + second;
      }
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      current = name;
      regions[name] = {offset, line};
    } else if (!current.empty() && line.rfind("       ", 0) == 0) {
      regions[current].second += "\n" + line;
    } else {
      current.clear();
    }
  }
  return regions;
}

uint32_t NumberAfter(const std::string& text, const std::string& before) {
  size_t at = text.find(before);
  EXPECT_NE(at, std::string::npos) << before << " in\n" << text;
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(text.c_str() + at + before.size(), nullptr, 0));
}

uint32_t NumberBefore(const std::string& text, const std::string& after) {
  size_t at = text.find(after);
  EXPECT_NE(at, std::string::npos) << after << " in\n" << text;
  if (at == std::string::npos) return 0;
  size_t start = text.find_last_of(" ", at - 2);  // the blank before the number
  return static_cast<uint32_t>(std::strtoul(text.c_str() + start + 1, nullptr, 0));
}

class RegionTable : public ::testing::TestWithParam<const char*> {
 protected:
  void TearDown() override {
    FWLResetForTests();
    FlashLayerResetForTests();
    NorResetForTests();
    HardwareReset();
    PlatformDetachModule();
  }
};

// The program's discovery and the module's own account of its flash agree.
TEST_P(RegionTable, MatchesWhatTheModuleSaysItHolds) {
  std::string dir = MakeTempDir("fwregions");
  std::vector<std::string> create = {BuiltProgram("fwmodule"), "create", dir};
  if (std::string(GetParam()) != "") create.push_back(GetParam());
  ASSERT_EQ(RunProgram(create).exitCode, 0);
  ProgramResult info = RunProgram({BuiltProgram("fwmodule"), "info", dir});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  auto listed = InfoRegions(info.out);

  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  ASSERT_EQ(FWLInit(), 0u);
  RegionSummary summary = {REGION_ALL, 0, 0, 0};
  FlashRegion table[7] = {};
  ASSERT_EQ(FWLGetRegionInfo(&summary, table), 0u);

  size_t found = 0;
  for (const FlashRegion* r = table; r->id != 0; r++, found++) {
    std::string name = Utf16ToUtf8(FWLGetRegionName(r->id));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    SCOPED_TRACE(name);
    ASSERT_EQ(listed.count(name), 1u) << info.out;
    const auto& [offset, text] = listed[name];
    EXPECT_EQ(r->base, offset);
    if (name == "registry") {
      EXPECT_EQ(r->used, NumberBefore(text, "bytes saved") + 8) << "the header of the current half counts";
    } else if (name == "file system") {
      EXPECT_EQ(r->used, NumberBefore(text.substr(text.find("store of")), "hold data") * 512);
      EXPECT_EQ(r->length, NumberAfter(text, "file system  "));
    } else if (name == "config block") {
      EXPECT_EQ(r->used, NumberAfter(text, "config block  "));
    } else {
      EXPECT_EQ(r->used, NumberAfter(text, "ROM image of "));
    }
  }
  EXPECT_EQ(found, listed.size()) << info.out;
}

INSTANTIATE_TEST_SUITE_P(Boards, RegionTable, ::testing::Values("", "--two-stage"));

}  // namespace
