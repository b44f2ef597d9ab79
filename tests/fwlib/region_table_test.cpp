// The region table's queries over a known table, and the display names.
#include <gtest/gtest.h>

#include <string>

#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/text.h"
#include "tests/fwlib/library_fixture.h"

namespace {

// A two-stage module with an absent File System, as sorted by a scan.
const FlashRegion kTable[REGION_TABLE_ENTRIES] = {
    {REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER, 0x00000000, 0x00040000, 0x00030000},
    {REGION_CONFIG_BLOCK, 0x00040000, 0x00040000, 0x00000400},
    {REGION_OS_IMAGE, 0x00080000, 0x01380000, 0x00064000},
    {REGION_REGISTRY, 0x01400000, 0x00080000, 0x00001000},
    {REGION_FILE_SYSTEM | REGION_ABSENT, 0x01480000, 0x00A80000, 0},
    {REGION_SECOND_BOOTLOADER, 0x01F00000, 0x00100000, 0x00020000},
    {0, 0, 0, 0},
};

class RegionTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProgramLayers();
    std::copy(std::begin(kTable), std::end(kTable), RegionTable());
    FwlState()->initialised = true;
  }
  void TearDown() override { ResetProgramLayers(); }
};

struct InfoCase {
  const char* name;
  uint32_t mask;
  uint32_t result;
  RegionSummary summary;  // expected on success
  std::vector<uint32_t> listed;
};

TEST_F(RegionTableTest, RegionInfoSummarisesPresentMatches) {
  const RegionSummary untouched = {0xDEAD0000, 1, 2, 3};
  const InfoCase cases[] = {
      {"all", REGION_ALL, FWL_OK, {0x0200002F, 0, 0x02000000, 0x000B5400}, {1, 2, 4, 8, 0x20}},
      {"neighbours", REGION_OS_IMAGE | REGION_REGISTRY, FWL_OK, {0x0C, 0x80000, 0x01400000, 0x65000}, {4, 8}},
      // The span runs over the regions in between.
      {"gap", REGION_CONFIG_BLOCK | REGION_SECOND_BOOTLOADER, FWL_OK, {0x22, 0x40000, 0x01FC0000, 0x20400}, {2, 0x20}},
      {"flag only", REGION_FIRST_BOOTLOADER, FWL_ERR_NO_REGION, untouched, {}},
      {"absent only", REGION_FILE_SYSTEM, FWL_ERR_NO_REGION, untouched, {}},
      {"never in the table", REGION_CPLD_FIRMWARE, FWL_ERR_NO_REGION, untouched, {}},
      {"empty", 0, FWL_ERR_NO_REGION, untouched, {}},
  };
  for (const InfoCase& c : cases) {
    SCOPED_TRACE(c.name);
    RegionSummary summary = untouched;
    summary.flags = c.mask;
    FlashRegion list[REGION_TABLE_ENTRIES];
    std::fill(std::begin(list), std::end(list), FlashRegion{0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE, 0xEEEEEEEE});
    ASSERT_EQ(FWLGetRegionInfo(&summary, list), c.result);
    if (c.result != FWL_OK) {
      EXPECT_EQ(summary.start, untouched.start);
      EXPECT_EQ(summary.length, untouched.length);
      EXPECT_EQ(summary.used, untouched.used);
      continue;
    }
    EXPECT_EQ(summary.flags, c.summary.flags);
    EXPECT_EQ(summary.start, c.summary.start);
    EXPECT_EQ(summary.length, c.summary.length);
    EXPECT_EQ(summary.used, c.summary.used);
    for (size_t i = 0; i < c.listed.size(); i++) EXPECT_EQ(list[i].id & REGION_ID_BITS, c.listed[i]) << i;
    const FlashRegion& end = list[c.listed.size()];
    EXPECT_EQ(end.id | end.base | end.length | end.used, 0u) << "list not terminated";
  }
}

struct AreaCase {
  const char* name;
  uint32_t mask;
  uint32_t start;
  uint32_t length;
  uint32_t result;
  uint32_t maskAfter;
};

TEST_F(RegionTableTest, RegionsInAreaNamesOverlapsAndRefusesOutsiders) {
  const AreaCase cases[] = {
      {"empty mask, empty range", 0, 0x80000, 0, FWL_OK, 0},
      {"empty mask, some range", 0, 0x80000, 1, FWL_ERR_AREA, 0},
      {"inside one region", REGION_ALL, 0x80000, 0x1000, FWL_OK, REGION_OS_IMAGE},
      {"across a boundary", REGION_ALL, 0x3FFFF, 2, FWL_OK,
       REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER | REGION_CONFIG_BLOCK},
      {"touching a region left out", REGION_CONFIG_BLOCK, 0x3FFFF, 0x1000, FWL_ERR_AREA,
       REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER | REGION_CONFIG_BLOCK},
      {"selection with its span", REGION_CONFIG_BLOCK | REGION_OS_IMAGE, 0x40000, 0x13C0000, FWL_OK,
       REGION_CONFIG_BLOCK | REGION_OS_IMAGE},
      {"span over an unselected region", REGION_CONFIG_BLOCK | REGION_REGISTRY, 0x40000, 0x1440000, FWL_ERR_AREA,
       REGION_CONFIG_BLOCK | REGION_OS_IMAGE | REGION_REGISTRY},
      {"end is exclusive", REGION_ALL, 0x3FF00, 0x100, FWL_OK, REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER},
      {"absent region only", REGION_ALL, 0x1480000, 0x1000, FWL_OK, 0},
      {"empty range overlaps nothing", REGION_ALL, 0x80000, 0, FWL_OK, 0},
      // A 32-bit wrap of start + length would make this overlap the bootloader.
      {"range past 4 GB", REGION_OS_IMAGE, 0xFFFFFF00, 0x200, FWL_OK, 0},
  };
  for (const AreaCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t mask = c.mask;
    EXPECT_EQ(FWLGetRegionsInArea(&mask, c.start, c.length), c.result);
    EXPECT_EQ(mask, c.maskAfter);
  }
}

std::string Name(uint32_t id) {
  const WCHAR* name = FWLGetRegionName(id);
  return name == nullptr ? "(none)" : Utf16ToUtf8(name);
}

TEST(RegionNameTest, OneNamePerRegionAndTheBootloaderFlagDecides) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "No Region"},
      {REGION_BOOTLOADER | REGION_ABSENT, "Bootloader"},
      {REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER, "First Bootloader"},
      {REGION_FILE_SYSTEM | REGION_ABSENT, "File System"},
      {REGION_SECOND_BOOTLOADER, "Second Bootloader"},
      {REGION_CPLD_FIRMWARE, "CPLD Firmware"},
      {REGION_BOOTLOADER | REGION_CONFIG_BLOCK, "(none)"},
      {0x40, "(none)"},
      {IMAGE_HAS_BIN_RECORDS, "(none)"},
  };
  for (const auto& [id, name] : cases) EXPECT_EQ(Name(id), name) << std::hex << id;
}

}  // namespace
