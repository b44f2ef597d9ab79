// Updates on a module whose flash misbehaves: an erase that fails, programs
// that report errors or silently leave bits set, and the power going off in
// the middle. Outside the image's range nothing may change; inside, only
// what the update put there.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "module/device_manager.h"
#include "module/nor_model.h"
#include "fwlib/backup.h"
#include "fwlib/library_state.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "tests/support/store_sectors.h"
#include "tests/support/temp_module.h"
#include "tests/update/update_fixture.h"

namespace {

constexpr uint32_t kImageAt = 0x1000000;  // inside the OS region, away from everything the factory wrote
constexpr uint32_t kImageBytes = 0x100000;

BinImageSpec FourBlocks() {
  BinImageSpec spec;
  spec.bin.imageStart = kImageAt;
  spec.bin.records = BinRecordsFromBlob(kImageAt, Pattern(kImageBytes, 7), 0x10000);
  return spec;
}

struct Fault {
  const char* name;
  const char* setting;
  uint32_t expected;
};

const Fault kFaults[] = {
    {"erase reports an error", "faults.erase_error_block=0x1080000", FWL_ERR_FLASH_ERASE},
    {"program reports an error", "faults.program_error_at=0x1012344", FWL_ERR_VERIFY},
    {"program leaves bits set", "faults.weak_program_at=0x10C0001", FWL_ERR_VERIFY},
};

class UpdateFaultTest : public UpdateTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(UpdateFaultTest, FailsAndChangesNothingOutsideTheImage) {
  Attach({GetParam().setting});
  BinImageSpec spec = FourBlocks();
  std::u16string path = Place(spec);
  PutFlash(kImageAt, Pattern(kImageBytes, 3));  // old content, so that every block needs its erase
  std::vector<uint8_t> before = Flash();
  EXPECT_EQ(Update(path), GetParam().expected);
  std::vector<uint8_t> after = Flash(), written = Expected(before, spec, 0);
  EXPECT_TRUE(SameOutside(before, after, kImageAt, kImageAt + kImageBytes));
  // Inside, every byte is what the update wrote, still erased, or (for the
  // failing program) one of the few bytes it could not write.
  size_t strays = 0;
  for (uint32_t at = kImageAt; at < kImageAt + kImageBytes; at++) {
    if (after[at] != written[at] && after[at] != 0xFF && after[at] != before[at]) strays++;
  }
  EXPECT_LE(strays, 4u);
}

INSTANTIATE_TEST_SUITE_P(Flash, UpdateFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != 0; c++) name += isalnum(*c) ? *c : '_';
                           return name;
                         });

class PowerCutTest : public UpdateTest {
 protected:
  // Runs validation and update in a child process on the same module with
  // the power cut after `writes` bus writes; the child's exit status.
  int UpdateInChild(const std::u16string& path, uint64_t writes) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ResetUpdateLayers();
      PlatformDetachModule();
      if (!ConfigureModule(dir_, {"faults.power_cut_after=" + std::to_string(writes)})) ::_exit(2);
      std::string error;
      if (!PlatformAttachModule(dir_, false, &error) || FWLInit() != 0) ::_exit(3);
      ClockSkipSleepsForTests(true);
      uint32_t result = FWLSetBinFile(path.c_str(), nullptr, nullptr, 1);
      if (result == 0) result = FWLDoUpdate(nullptr, nullptr, nullptr);
      ::_exit(result == 0 ? 0 : 10 + static_cast<int>(result));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(PowerCutTest, WhileWritingLeavesOnlyNewOrErasedBytesInside) {
  Attach();
  BinImageSpec spec = FourBlocks();
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = Flash();
  // About a third of the way through the buffered programs of 1 MB.
  ASSERT_EQ(UpdateInChild(path, 100000), kNorPowerCutExitCode);
  std::vector<uint8_t> after = Flash(), written = Expected(before, spec, 0);
  EXPECT_TRUE(SameOutside(before, after, kImageAt, kImageAt + kImageBytes));
  size_t fresh = 0, erased = 0;
  for (uint32_t at = kImageAt; at < kImageAt + kImageBytes; at++) {
    ASSERT_TRUE(after[at] == written[at] || after[at] == 0xFF) << "at 0x" << std::hex << at;
    if (after[at] == written[at] && written[at] != 0xFF) fresh++;
    if (after[at] == 0xFF && written[at] != 0xFF) erased++;
  }
  EXPECT_GT(fresh, 0u);
  EXPECT_GT(erased, 0u) << "the cut came before the end";
}

TEST_F(PowerCutTest, WhileErasingLeavesOldOrErasedBytesInside) {
  Attach();
  std::u16string path = Place(FourBlocks());
  PutFlash(kImageAt, Pattern(kImageBytes, 3));  // old content, so that an erase shows
  std::vector<uint8_t> before = Flash();
  // The fewest bus writes after which the cut leaves something erased: the
  // cut then comes right after the first block's erase.
  auto erasedAfterCut = [&](uint64_t writes) {
    PutFlash(kImageAt, std::vector<uint8_t>(before.begin() + kImageAt, before.begin() + kImageAt + kImageBytes));
    EXPECT_EQ(UpdateInChild(path, writes), kNorPowerCutExitCode);
    std::vector<uint8_t> after = Flash();
    size_t erased = 0;
    for (uint32_t at = kImageAt; at < kImageAt + kImageBytes; at++) erased += after[at] != before[at];
    return erased;
  };
  uint64_t low = 1, high = 1 << 14;
  ASSERT_GT(erasedAfterCut(high), 0u);
  while (low < high) {
    uint64_t mid = (low + high) / 2;
    if (erasedAfterCut(mid) > 0) high = mid;
    else low = mid + 1;
  }
  ASSERT_GT(erasedAfterCut(low), 0u);
  std::vector<uint8_t> after = Flash();
  EXPECT_TRUE(SameOutside(before, after, kImageAt, kImageAt + kImageBytes));
  size_t erased = 0;
  for (uint32_t at = kImageAt; at < kImageAt + kImageBytes; at++) {
    ASSERT_TRUE(after[at] == before[at] || after[at] == 0xFF) << "at 0x" << std::hex << at;
    erased += after[at] != before[at];
  }
  EXPECT_LT(erased, kImageBytes / 2) << "one block erased, the others not";
}

// The power goes while a backup of the flash disk is written back: after the
// restart the flash disk still mounts (with whatever it holds by then), and
// the update run again brings everything back.
TEST_F(PowerCutTest, DuringARestoreTheFlashDiskStillMountsAndARerunRestoresIt) {
  Attach();
  ClockSkipSleepsForTests(true);
  std::vector<SectorRun> saved = StoreSectorRuns(FwlState()->storeDeviceName);
  ASSERT_EQ(FWLBackupToFile(u"\\USB HD\\IMAGES\\disk.bin", REGION_FILE_SYSTEM, nullptr, nullptr, nullptr), FWL_OK);
  std::u16string path = u"\\USB HD\\IMAGES\\disk.bin";
  std::string error;
  for (uint64_t writes : {300u, 3000u, 30000u}) {
    SCOPED_TRACE(writes);
    ASSERT_EQ(UpdateInChild(path, writes), kNorPowerCutExitCode);
    // The module starts again: its own flash disk driver, on what the cut left.
    ResetUpdateLayers();
    PlatformDetachModule();
    ASSERT_TRUE(DeviceManagerRestart(dir_, &error)) << error;
    ASSERT_TRUE(ConfigureModule(dir_, {"faults.power_cut_after=0"}));
    ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
    ASSERT_EQ(FWLInit(), FWL_OK);
    EXPECT_NE(FwlState()->storeDeviceName[0], 0) << "the flash disk mounts";
    EXPECT_EQ(Update(path), FWL_OK);
    EXPECT_TRUE(StoreSectorRuns(FwlState()->storeDeviceName) == saved);
  }
  ClockSkipSleepsForTests(false);
}

}  // namespace
