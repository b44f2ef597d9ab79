// Updates on a module whose flash misbehaves: an erase that fails, programs
// that report errors or silently leave bits set, NAND blocks that go bad, and
// the power going off in the middle. Outside the image's range nothing may
// change; inside, only what the update put there.
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
#include "module/hardware.h"
#include "module/nand_chips.h"
#include "module/nand_model.h"
#include "module/nor_model.h"
#include "fwlib/backup.h"
#include "fwlib/library_state.h"
#include "platform/clock.h"
#include "platform/hardware_link.h"
#include "platform/platform.h"
#include "tests/support/boards.h"
#include "tests/support/module_content.h"
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
  const char* board;
  const char* name;
  std::vector<std::string> settings;
  uint32_t expected;
  // A logical offset whose NAND block must have moved into the reserve, else 0.
  uint32_t movedAt = 0;
};

// Physical NAND block of logical offset `at` on the default board, whose
// factory bad blocks (613 and up) moved nothing this low.
constexpr uint32_t NandBlockAt(uint32_t at) { return at / kNandBlockBytes; }

// On NOR a failing erase or program fails the update; on NAND the block is
// moved into the reserve and the update goes on, unless the reserve has no
// good block left.
const Fault kFaults[] = {
    {"nor", "erase reports an error", {"faults.erase_error_block=0x1080000"}, FWL_ERR_FLASH_ERASE},
    {"nor", "program reports an error", {"faults.program_error_at=0x1012344"}, FWL_ERR_VERIFY},
    {"nor", "program leaves bits set", {"faults.weak_program_at=0x10C0001"}, FWL_ERR_VERIFY},
    {"nand", "erase fails, block moved", {"faults.nand_erase_fail=" + std::to_string(NandBlockAt(0x1080000))}, FWL_OK,
     0x1080000},
    {"nand", "program fails half-way, block moved",
     {"faults.nand_program_fail=" + std::to_string(NandBlockAt(0x1020000)) + "@20"}, FWL_OK, 0x1020000},
    {"nand", "erase fails, reserve used up",
     NandFaultsWithoutReserve("faults.nand_erase_fail", NandBlockAt(0x1060000)), FWL_ERR_FLASH_ERASE},
    {"nand", "program fails, reserve used up",
     NandFaultsWithoutReserve("faults.nand_program_fail", NandBlockAt(0x10A0000)), FWL_ERR_FLASH_WRITE},
};

class UpdateFaultTest : public UpdateTest, public ::testing::WithParamInterface<Fault> {
 protected:
  void SetUp() override { board_ = GetParam().board; }
};

TEST_P(UpdateFaultTest, ChangesNothingOutsideTheImage) {
  Attach(GetParam().settings);
  BinImageSpec spec = FourBlocks();
  std::u16string path = Place(spec);
  PutFlash(kImageAt, Pattern(kImageBytes, 3));  // old content, so that every block needs its erase
  std::vector<uint8_t> before = Flash();
  EXPECT_EQ(Update(path), GetParam().expected);
  std::vector<uint8_t> after = Flash(), written = Expected(before, spec, 0);
  EXPECT_TRUE(SameOutside(before, after, kImageAt, kImageAt + kImageBytes));
  uint32_t movedAt = GetParam().movedAt;
  if (movedAt != 0) {
    EXPECT_NE(ModuleNandBlockOf(dir_, movedAt), NandBlockAt(movedAt)) << "the block was not moved";
  }
  if (GetParam().expected == FWL_OK) {
    EXPECT_TRUE(after == written) << Differences(after, written);
    return;
  }
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
                           return std::string(info.param.board) + "_" + TestNameOf(info.param.name);
                         });

// Where the power goes, as the board's model counts: bus writes on NOR, flash
// commands on NAND.
struct PowerCut {
  const char* board;
  uint64_t whileWriting;  // about a third of the way through FourBlocks' programs
  uint64_t duringRestore[3];  // early, half-way and late in a restore of the flash disk
};

const PowerCut kPowerCuts[] = {
    {"nor", 100000, {300, 3000, 30000}},
    {"nand", 400, {300, 1500, 3000}},
};

// Without a flash disk the module's own driver reads nothing while a child
// starts, so that the count reaches into the update quickly.
constexpr const char* kNoFlashDisk = "factory.flash_disk_key=none";

static_assert(kNorPowerCutExitCode == kNandPowerCutExitCode);
constexpr int kPowerCutExitCode = kNorPowerCutExitCode;

// What power_cut_after counts on the attached module so far.
uint64_t PowerCutCount() {
  ModuleHardware* hw = PlatformHardware();
  return hw->nand != nullptr ? NandModelCounters(hw->nand).commandsStarted : NorModelCommandWrites(hw->nor);
}

class PowerCutTest : public UpdateTest, public ::testing::WithParamInterface<PowerCut> {
 protected:
  void SetUp() override { board_ = GetParam().board; }

  // Attaches and notes what the start took, which every child repeats
  // before its update: on NAND the module's flash disk driver reads its
  // pages, and every read counts.
  void AttachAndCount(const std::vector<std::string>& settings = {}) {
    Attach(settings);
    started_ = PowerCutCount();
  }

  // Runs validation and update in a child process on the same module with
  // the power cut after `writes` more writes than the start took; the
  // child's exit status.
  int UpdateInChild(const std::u16string& path, uint64_t writes) {
    writes += started_;
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

  uint64_t started_ = 0;
};

TEST_P(PowerCutTest, WhileWritingLeavesOnlyNewOrErasedBytesInside) {
  AttachAndCount({kNoFlashDisk});
  BinImageSpec spec = FourBlocks();
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = Flash();
  ASSERT_EQ(UpdateInChild(path, GetParam().whileWriting), kPowerCutExitCode);
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

TEST_P(PowerCutTest, WhileErasingLeavesOldOrErasedBytesInside) {
  AttachAndCount({kNoFlashDisk});
  std::u16string path = Place(FourBlocks());
  std::vector<uint8_t> old = Pattern(kImageBytes, 3);  // old content, so that an erase shows
  PutFlash(kImageAt, old);
  std::vector<uint8_t> before = Flash();
  // The fewest writes after which the cut leaves something erased: the
  // cut then comes right after the first block's erase.
  auto erasedAfterCut = [&](uint64_t writes) {
    PutFlash(kImageAt, old);
    EXPECT_EQ(UpdateInChild(path, writes), kPowerCutExitCode);
    std::vector<uint8_t> after = FlashRange(kImageAt, kImageBytes);
    size_t erased = 0;
    for (uint32_t at = 0; at < kImageBytes; at++) erased += after[at] != old[at];
    return erased;
  };
  // A cut while writing comes after every erase.
  uint64_t low = 1, high = GetParam().whileWriting;
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
TEST_P(PowerCutTest, DuringARestoreTheFlashDiskStillMountsAndARerunRestoresIt) {
  AttachAndCount();
  ClockSkipSleepsForTests(true);
  std::vector<SectorRun> saved = StoreSectorRuns(FwlState()->storeDeviceName);
  ASSERT_EQ(FWLBackupToFile(u"\\USB HD\\IMAGES\\disk.bin", REGION_FILE_SYSTEM, nullptr, nullptr, nullptr), FWL_OK);
  std::u16string path = u"\\USB HD\\IMAGES\\disk.bin";
  std::string error;
  for (uint64_t writes : GetParam().duringRestore) {
    SCOPED_TRACE(writes);
    ASSERT_EQ(UpdateInChild(path, writes), kPowerCutExitCode);
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

INSTANTIATE_TEST_SUITE_P(Boards, PowerCutTest, ::testing::ValuesIn(kPowerCuts),
                         [](const ::testing::TestParamInfo<PowerCut>& info) { return std::string(info.param.board); });

}  // namespace
