// Several processes on one module at once: the program's commands and
// dialogs and the module OS's own flash users (registry flush, the flash
// disk) take turns on the flash, each exit code tells how that process's own
// work went, and a process killed while it holds the flash lock stops nobody.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <tuple>

#include "module/atomic_file.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "module/nand_controller.h"
#include "module/nor_chip.h"
#include "tests/concurrency/flash_log_check.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/module_content.h"

namespace {

const char kNkBin[] = "\\USB HD\\IMAGES\\nk.bin";
const char kBackup[] = "\\USB HD\\IMAGES\\all.bin";
const char kLogSetting[] = "trace.flash_log=flash.log";
const char kLogName[] = "/flash.log";
// Where the OS image starts on both boards, and how long the factory's and the sample's are.
constexpr uint32_t kOsImageBase = 0x80000, kOsImageBytes = 0x64000;
// What a registry save must carry into the flash.
const char kMarker[] = "\"Marker\"=dword:0000002a";
constexpr uint32_t kBothChips = 0x00010001;  // a NOR command byte for each chip of the pair

struct Job {
  std::vector<std::string> switches;  // none: the main dialog, driven by `input`
  std::string input;
  int exitCode = 1;
};

const Job kUpdate{{"/u", kNkBin}, "", 1};
const Job kSaves{{"/fu", "/fu", "/fu"}, "", 1};
// A save, then a backup of everything.
const Job kBackupAll{{"/fu", "/b", kBackup}, "", 1};
// The registry save and the version report from the main dialog.
const Job kDialog{{}, "s\nv\nclose\n", 1};
// A save that works, then a backup that cannot open its file: the run failed.
const Job kFailing{{"/fu", "/b", "\\Nowhere\\all.bin"}, "", 0};

std::string HostPath(const std::string& dir, const char* modulePath) {
  std::string path = ModuleRootPath(dir) + modulePath;
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

// A module that logs its flash writes, with a marker only the live registry has.
std::string LoggingModule(const std::string& board, std::vector<std::string> settings = {}) {
  settings.push_back(kLogSetting);
  std::string dir = MakeModule(settings, board);
  std::string live = ReadFile(ModuleRegistryPath(dir)) + "\n[HKEY_LOCAL_MACHINE\\Test]\n" + kMarker + "\n";
  std::string error;
  EXPECT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir), live, &error)) << error;
  return dir;
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(BinImageReadFile(path, &bytes, &error)) << error;
  return bytes;
}

// The flash holds every record of the sample OS image.
testing::AssertionResult FlashHoldsOsImage(const std::string& dir) {
  std::vector<uint8_t> file = FileBytes(HostPath(dir, kNkBin));
  BinImageSeen image = BinImageInspect(file);
  uint32_t shift = 0;
  if (!BinAddressShiftFor(image.imageStart, kOsImageBase, &shift)) return testing::AssertionFailure() << "no image";
  std::vector<uint8_t> flash = ModuleFlashContent(dir, image.imageStart + shift, image.imageLength);
  for (const BinRecordSeen& r : image.records) {
    auto data = file.begin() + static_cast<ptrdiff_t>(r.fileOffset + kBinRecordHeaderBytes);
    if (!std::equal(data, data + r.length, flash.begin() + (r.address - image.imageStart))) {
      return testing::AssertionFailure() << "record at 0x" << std::hex << r.address << " not in flash";
    }
  }
  return testing::AssertionSuccess();
}

// Every record whole with its sum right, and the OS image as it was before
// or after the update, never a mix.
void ExpectWholeBackup(const std::string& path, const std::vector<std::vector<uint8_t>>& osRegionVersions) {
  std::vector<uint8_t> file = FileBytes(path);
  BinImageSeen backup = BinImageInspect(file);
  EXPECT_TRUE(backup.endRecord);
  bool osRegionSeen = false;
  for (const BinRecordSeen& r : backup.records) {
    EXPECT_TRUE(r.complete && r.checksumOk) << "record at 0x" << std::hex << r.address;
    if (r.address != kOsImageBase || !r.complete) continue;
    osRegionSeen = true;
    auto data = file.begin() + static_cast<ptrdiff_t>(r.fileOffset + kBinRecordHeaderBytes);
    EXPECT_TRUE(std::any_of(osRegionVersions.begin(), osRegionVersions.end(), [&](const std::vector<uint8_t>& v) {
      return r.length <= v.size() && std::equal(data, data + r.length, v.begin());
    })) << "the OS image was saved half old, half new";
  }
  EXPECT_TRUE(osRegionSeen);
}

// What every run must leave behind: each process wrote to the flash and no
// sequence of one was split by another; the update's image and the saved
// registry are whole.
void ExpectSoundModule(const std::string& dir, const std::vector<pid_t>& writers) {
  std::vector<FlashLogRecord> log;
  std::string error;
  ASSERT_TRUE(FlashLogRead(dir + kLogName, &log, &error)) << error;
  std::set<uint32_t> seen;
  for (const FlashLogRecord& r : log) seen.insert(r.pid);
  for (pid_t pid : writers) EXPECT_TRUE(seen.count(static_cast<uint32_t>(pid))) << "no flash write by " << pid;
  SequenceSplit split = FindSplitSequence(log);
  EXPECT_FALSE(split.found) << "process " << split.pid << " went on at record " << split.at << " after process "
                            << split.intruder << " wrote inside its command sequence";
  EXPECT_TRUE(FlashHoldsOsImage(dir));
  EXPECT_NE(PersistentRegistry(dir).find(kMarker), std::string::npos);
}

struct Mix {
  const char* name;
  std::vector<Job> jobs;
};

const Mix kTwo{"Two", {kUpdate, kBackupAll}};
const Mix kThree{"Three", {kUpdate, kFailing, kDialog}};

void PrintTo(const Mix& mix, std::ostream* os) { *os << mix.name; }

class Together : public testing::TestWithParam<std::tuple<std::string, Mix>> {};

TEST_P(Together, TakeTurnsOnTheFlashAndEachExitCodeTellsItsOwnResult) {
  const auto& [board, mix] = GetParam();
  std::string dir = LoggingModule(board);
  std::vector<uint8_t> before = ModuleFlashContent(dir, kOsImageBase, kOsImageBytes);
  std::vector<RunningProgram> running;
  for (const Job& job : mix.jobs) running.push_back(StartFlashwright(dir, job.switches, job.input));
  std::vector<pid_t> pids;
  for (size_t i = 0; i < running.size(); i++) {
    ProgramResult r = FinishProgram(running[i]);
    EXPECT_EQ(r.exitCode, mix.jobs[i].exitCode) << "job " << i << "\n" << r.err;
    pids.push_back(running[i].pid);
  }
  ExpectSoundModule(dir, pids);
  std::string backup = HostPath(dir, kBackup);
  if (::access(backup.c_str(), F_OK) == 0) {
    ExpectWholeBackup(backup, {before, ModuleFlashContent(dir, kOsImageBase, kOsImageBytes)});
  }
}

INSTANTIATE_TEST_SUITE_P(Mixes, Together,
                         testing::Combine(testing::Values<std::string>("nor", "nand"), testing::Values(kTwo, kThree)),
                         [](const testing::TestParamInfo<std::tuple<std::string, Mix>>& info) {
                           return std::get<0>(info.param) + std::get<1>(info.param).name;
                         });

bool NorErase(const FlashLogRecord& r) {
  return r.device == static_cast<uint8_t>(FlashLogDevice::Nor) && r.value == kNorCmdEraseSetup * kBothChips;
}

bool NandErase(const FlashLogRecord& r) {
  return r.device == static_cast<uint8_t>(FlashLogDevice::NandController) && r.address == kNandRegCommand &&
         ((r.value >> kNandCommandTypeShift) & kNandCommandTypeMask) == kNandTypeErase;
}

// Stops `victim` once it has started erasing, at a moment it holds the flash
// lock; false when it ended before.
bool StopHoldingTheLock(const std::string& dir, pid_t victim, bool (*erases)(const FlashLogRecord&)) {
  bool erasing = false;
  std::vector<FlashLogRecord> log;
  std::string error;
  for (;;) {
    int status = 0;
    if (::waitpid(victim, &status, WNOHANG) != 0) return false;
    if (!erasing && FlashLogRead(dir + kLogName, &log, &error)) {
      auto byVictim = [&](const FlashLogRecord& r) { return r.pid == static_cast<uint32_t>(victim) && erases(r); };
      erasing = std::any_of(log.begin(), log.end(), byVictim);
    }
    if (erasing && FlashLockOwner(dir) == victim) {
      ::kill(victim, SIGSTOP);
      // Stopped, it can no longer let go: if it still holds the lock, it keeps it.
      if (FlashLockOwner(dir) == victim) return true;
      ::kill(victim, SIGCONT);
    }
    ::usleep(1000);
  }
}

struct KillCase {
  const char* board;
  std::vector<std::string> settings;
  bool (*erases)(const FlashLogRecord&);
};

void PrintTo(const KillCase& c, std::ostream* os) { *os << c.board; }

class Killed : public testing::TestWithParam<KillCase> {};

TEST_P(Killed, WhileHoldingTheFlashLockStopsNoOther) {
  const KillCase& c = GetParam();
  std::string dir = LoggingModule(c.board, c.settings);
  RunningProgram victim = StartFlashwright(dir, {"/u", kNkBin, "/u", kNkBin});
  ASSERT_TRUE(StopHoldingTheLock(dir, victim.pid, c.erases)) << FinishProgram(victim).err;
  // Already waiting for the lock when its owner dies.
  std::vector<RunningProgram> others = {StartFlashwright(dir, kUpdate.switches),
                                        StartFlashwright(dir, kSaves.switches)};
  ::kill(victim.pid, SIGKILL);
  EXPECT_EQ(FinishProgram(victim).signal, SIGKILL);
  std::vector<pid_t> pids;
  for (const RunningProgram& other : others) {
    ProgramResult r = FinishProgram(other);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    pids.push_back(other.pid);
  }
  ExpectSoundModule(dir, pids);
}

// Realistic timing keeps a NOR update inside its erases long enough to be caught there.
INSTANTIATE_TEST_SUITE_P(Boards, Killed,
                         testing::Values(KillCase{"nor", {"flash.timing=realistic"}, NorErase},
                                         KillCase{"nand", {}, NandErase}),
                         [](const testing::TestParamInfo<KillCase>& info) { return std::string(info.param.board); });

// The check itself: a sequence split by another process is found; one a
// dead process left open, or writes between sequences, are not.
struct LogCase {
  const char* name;
  std::vector<FlashLogRecord> log;
  bool split;
};

constexpr uint8_t kStart = kFlashLogIdleBefore, kMiddle = 0, kEnd = kFlashLogIdleAfter,
                  kWhole = kFlashLogIdleBefore | kFlashLogIdleAfter;
FlashLogRecord Write(uint32_t pid, uint8_t flags) { return FlashLogRecord{pid, 0, 0, 1, flags, 0}; }

void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }

class SplitCheck : public testing::TestWithParam<LogCase> {};

TEST_P(SplitCheck, FindsOnlySequencesThatWentOnAfterAnIntruder) {
  EXPECT_EQ(FindSplitSequence(GetParam().log).found, GetParam().split);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, SplitCheck,
    testing::Values(LogCase{"Split", {Write(1, kStart), Write(2, kWhole), Write(1, kMiddle), Write(1, kEnd)}, true},
                    LogCase{"LeftByTheDead", {Write(1, kStart), Write(1, kMiddle), Write(2, kWhole)}, false},
                    LogCase{"Turns", {Write(1, kStart), Write(1, kEnd), Write(2, kStart), Write(2, kEnd),
                                      Write(1, kWhole)}, false}),
    [](const testing::TestParamInfo<LogCase>& info) { return std::string(info.param.name); });

}  // namespace
