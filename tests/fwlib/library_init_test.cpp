// Starting the library: the hardware version check, the flash layer, the
// cached start-up result; closing the image file.
#include <gtest/gtest.h>

#include "flash/flash_layer.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/files.h"
#include "tests/fwlib/library_fixture.h"

namespace {

using LibraryInitTest = LibraryTest;

struct InitCase {
  const char* name;
  std::vector<std::string> settings;
  uint32_t result;
};

TEST_F(LibraryInitTest, HardwareVersionIsCheckedOnPartCodeTwoOnly) {
  // Part code 2 has no flash driver on this board: passing the version check
  // shows as the flash failure.
  const InitCase cases[] = {
      {"1.1 on part code 2", {"board.cpu_part_code=2", "board.hw_version_minor=1"}, FWL_ERR_HW_VERSION},
      {"0.9 on part code 2", {"board.cpu_part_code=2", "board.hw_version_major=0", "board.hw_version_minor=9"},
       FWL_ERR_HW_VERSION},
      {"1.2 on part code 2", {"board.cpu_part_code=2"}, FWL_ERR_FLASH_INIT},
      {"2.0 on part code 2", {"board.cpu_part_code=2", "board.hw_version_major=2", "board.hw_version_minor=0"},
       FWL_ERR_FLASH_INIT},
      // The version is compared as a signed number.
      {"major 0x8000 on part code 2", {"board.cpu_part_code=2", "board.hw_version_major=0x8000"}, FWL_ERR_HW_VERSION},
      {"no version on part code 2", {"board.cpu_part_code=2", "board.hw_version_minor=1", "faults.bsp_no_items=8"},
       FWL_ERR_FLASH_INIT},
      {"1.1 on the NOR board", {"board.hw_version_minor=1"}, FWL_OK},
  };
  for (const InitCase& c : cases) {
    SCOPED_TRACE(c.name);
    Attach(c.settings);
    if (HasFatalFailure()) return;
    EXPECT_EQ(FWLInit(), c.result);
    EXPECT_EQ(FwlState()->initialised, c.result == FWL_OK);
    TearDown();
  }
}

TEST_F(LibraryInitTest, AFailureIsCachedAndNeverRetried) {
  Attach({"board.cpu_part_code=2", "board.hw_version_minor=1"});
  ASSERT_EQ(FWLInit(), FWL_ERR_HW_VERSION);
  // A module that would now pass both checks still gets the first answer.
  Reconfigure({"board.cpu_part_code=17", "board.hw_version_minor=2"});
  EXPECT_EQ(FWLInit(), FWL_ERR_HW_VERSION);
  EXPECT_EQ(FlashType, FLASH_TYPE_NONE) << "the flash layer was started after all";

  ResetProgramLayers();
  Reconfigure({"board.cpu_part_code=2", "board.hw_version_minor=2"});
  ASSERT_EQ(FWLInit(), FWL_ERR_FLASH_INIT);
  Reconfigure({"board.cpu_part_code=17"});
  EXPECT_EQ(FWLInit(), FWL_ERR_FLASH_INIT);

  ResetProgramLayers();
  EXPECT_EQ(FWLInit(), FWL_OK);
}

TEST_F(LibraryInitTest, SuccessScansOnceAndFurtherCallsReturnAtOnce) {
  Attach();
  RegionSummary summary = {REGION_ALL, 0, 0, 0};
  EXPECT_EQ(FWLGetRegionInfo(&summary, nullptr), FWL_ERR_NOT_INITIALISED);
  uint32_t mask = REGION_ALL;
  EXPECT_EQ(FWLGetRegionsInArea(&mask, 0, 0x1000), FWL_ERR_NOT_INITIALISED);
  EXPECT_EQ(mask, REGION_ALL);
  ASSERT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(FlashType, FLASH_TYPE_NOR);
  FlashRegion registry = Entry(REGION_REGISTRY);
  EXPECT_EQ(registry.id, REGION_REGISTRY);
  EXPECT_EQ(registry.base, 0x01400000u);

  // Changed flash shows only after a new scan, which a repeated FWLInit does not run.
  PutWords(registry.base, {0x01234567, 0x777});
  PutWords(registry.base + registry.length / 2, {0, 0});
  EXPECT_EQ(FWLInit(), FWL_OK);
  EXPECT_EQ(Entry(REGION_REGISTRY).used, registry.used);
}

TEST_F(LibraryInitTest, CloseFileClosesTheImageFileOnce) {
  Attach();
  EXPECT_EQ(FWLCloseFile(), FWL_OK) << "no file open";

  HANDLE file = CreateFileW(u"\\Temp\\image.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FwlState()->imageFile = file;
  EXPECT_EQ(FWLCloseFile(), FWL_OK);
  EXPECT_EQ(FwlState()->imageFile, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(CloseHandle(file)) << "the handle is still open";

  // A handle the platform refuses to close is reported and forgotten all the same.
  FwlState()->imageFile = file;
  EXPECT_EQ(FWLCloseFile(), FWL_CLOSE_FAILED);
  EXPECT_EQ(FwlState()->imageFile, INVALID_HANDLE_VALUE);
}

}  // namespace
