// The power goes in the middle of every operation that writes a module, on
// every kind of board: after every k-th flash command (or TCK edge of a CPLD
// programming run) and inside erases and programs by the chips' busy time.
// Each cut strikes a child process running the program on a copy of one
// prepared module. After it the module must still hold what it needs to
// start and to be repaired, and the same operation run again after the power
// comes back must leave the flash as a run that was never cut does.
//
// FW_POWERCUT_POINTS (default 4) is how many command cuts each operation
// gets, spread evenly over its run, plus one busy-time cut for every eight
// of them (at least one); `make powercut` runs 50.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/entry.h"
#include "fwlib/erase.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "module/bin_image_builder.h"
#include "module/cpld_array.h"
#include "module/cpld_model.h"
#include "module/module_dir.h"
#include "module/module_image.h"
#include "module/nand_model.h"
#include "module/nor_model.h"
#include "module/registry_store.h"
#include "platform/registry.h"
#include "tests/powercut/cut_runs.h"
#include "tests/support/store_sectors.h"
#include "tests/support/temp_module.h"

namespace {

static_assert(kNorPowerCutExitCode == kNandPowerCutExitCode && kNandPowerCutExitCode == kCpldPowerCutExitCode);
constexpr int kPowerCutExitCode = kNorPowerCutExitCode;

constexpr uint32_t kDefaultPoints = 4;
constexpr uint32_t kCommandCutsPerBusyCut = 8;
// Large enough never to strike: the uncut run counts its busy time under it.
constexpr uint64_t kCountBusyUs = uint64_t{1} << 50;

// Paths as a script gives them; the images are the samples every module has.
constexpr char16_t kOsUpdate[] = u"/u \\USB HD\\IMAGES\\nk.bin";
constexpr char16_t kBootUpdate[] = u"/u \\USB HD\\IMAGES\\eboot.bin";
constexpr char16_t kWholeBackup[] = u"/b \\USB HD\\IMAGES\\all.bin";
constexpr char16_t kWholeRestore[] = u"/u \\USB HD\\IMAGES\\all.bin";
constexpr char16_t kBackupOverOld[] = u"/b \\USB HD\\IMAGES\\old.bin";
constexpr char16_t kCpldUpdate[] = u"/u \\USB HD\\IMAGES\\cpld.bin";
constexpr char kOldBackupFile[] = "old.bin";
const std::string kCpldDesign = std::string(FW_SHARED_TESTDATA) + "/xsvf/xc2c64a-light-led.xsvf";

// The value a registry save puts in first, as a user's change would be.
constexpr char16_t kChangedKey[] = u"Software\\PowerCut";
constexpr char16_t kChangedValue[] = u"Saved";
constexpr uint32_t kChangedData = 1;

struct Board {
  const char* name;
  const char* kind;
  std::vector<std::string> settings;
  bool firstBootloader;  // the bootloader at 0 hands over to a second one and is never rewritten
};

const Board kMatrixBoards[] = {
    {"nor", "nor", {}, false},
    {"nor_two_stage", "nor", {"board.two_stage=true"}, true},
    {"nand", "nand", {}, false},
};

struct Operation {
  const char* name;
  const char16_t* commandLine;                     // null: the backup dialog's erase of the File System region
  void (*prepare)(const std::string& dir) = nullptr;  // what it needs on the module beforehand
  bool writesBootloader = false;  // on a one-stage board: the bootloader is part of what it writes
  bool writesRegistry = false;    // the image brings the Registry region, which is erased first
  bool restoresFileSystem = false;  // formats the flash disk and writes its sectors back
  bool clearsRegistry = false;
  bool savesRegistry = false;     // changes a value, then saves the registry
  bool backsUp = false;           // into old.bin, which holds an older file
  bool cpld = false;              // NAND boards only, cut by TCK edges
  bool oneStageOnly = false;      // a two-stage board refuses it (the first bootloader is kept)
};

bool RunAndPass(const std::string& dir, const char16_t* line);

void PutWholeBackup(const std::string& dir) { ASSERT_TRUE(RunAndPass(dir, kWholeBackup)); }

void PutOldBackup(const std::string& dir) {
  std::string images = ModuleRootPath(dir) + "/" + kModuleImagesFolder + "/";
  std::filesystem::copy_file(images + "eboot.bin", images + kOldBackupFile);
}

void PutCpldImage(const std::string& dir) {
  BinImageSpec spec;
  spec.hasBinPart = false;
  spec.hasCpld = true;
  std::string design = FileBytes(kCpldDesign);
  ASSERT_FALSE(design.empty()) << kCpldDesign;
  spec.cpld.data.assign(design.begin(), design.end());
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(BinImageBuild(spec, &file, &error)) << error;
  ASSERT_TRUE(BinImageStore(dir, "cpld.bin", file, &error)) << error;
}

const Operation kOperations[] = {
    {.name = "os_update", .commandLine = kOsUpdate},
    {.name = "boot_update", .commandLine = kBootUpdate, .writesBootloader = true},
    {.name = "whole_module_update",
     .commandLine = kWholeRestore,
     .prepare = PutWholeBackup,
     .writesBootloader = true,
     .writesRegistry = true,
     .restoresFileSystem = true,
     .oneStageOnly = true},
    {.name = "backup", .commandLine = kBackupOverOld, .prepare = PutOldBackup, .backsUp = true},
    {.name = "registry_save", .commandLine = u"/fu", .savesRegistry = true},
    {.name = "registry_clear", .commandLine = u"/cu", .clearsRegistry = true},
    {.name = "region_erase", .commandLine = nullptr},
    {.name = "cpld_programming", .commandLine = kCpldUpdate, .prepare = PutCpldImage, .cpld = true},
};

bool SetChangedValue() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kChangedKey, 0, nullptr, 0, 0, nullptr, &key, &disposition) !=
      ERROR_SUCCESS) {
    return false;
  }
  uint32_t data = kChangedData;
  LONG set = RegSetValueExW(key, kChangedValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
  RegCloseKey(key);
  return set == ERROR_SUCCESS;
}

bool RunLine(const char16_t* line) {
  std::u16string text = line;
  return ProgramEntry(nullptr, text.data()) == 1;
}

bool RunOperation(void* context) {
  const Operation& op = *static_cast<const Operation*>(context);
  if (op.savesRegistry && !SetChangedValue()) return false;
  if (op.commandLine == nullptr) return FWLEraseRegions(REGION_FILE_SYSTEM, nullptr) == FWL_OK;
  return RunLine(op.commandLine);
}

bool RunLineBody(void* context) { return RunLine(static_cast<const char16_t*>(context)); }

bool RunAndPass(const std::string& dir, const char16_t* line) {
  return RunOnModule(dir, RunLineBody, const_cast<char16_t*>(line), dir + ".log").status == 0;
}

struct Cell {
  const Board* board;
  const Operation* op;
};

std::vector<Cell> Cells() {
  std::vector<Cell> cells;
  for (const Board& board : kMatrixBoards) {
    for (const Operation& op : kOperations) {
      bool nand = std::string(board.kind) == "nand";
      if ((op.cpld && !nand) || (op.oneStageOnly && board.firstBootloader)) continue;
      cells.push_back({&board, &op});
    }
  }
  return cells;
}

uint32_t PointsPerCell() {
  const char* text = std::getenv("FW_POWERCUT_POINTS");
  int points = text != nullptr ? std::atoi(text) : 0;
  return points > 0 ? static_cast<uint32_t>(points) : kDefaultPoints;
}

// Where the power goes: after the k-th, 2k-th ... command of the operation
// itself (each setting lets that many take effect from the process's start),
// and at evenly spread moments of the chips' busy time.
std::vector<std::string> CutSettings(const ChildRun& uncut, bool cpld, uint32_t points) {
  std::vector<std::string> settings;
  const char* key = cpld ? "faults.power_cut_after_tck=" : "faults.power_cut_after=";
  uint64_t start = cpld ? uncut.atStart.tckEdges : uncut.atStart.commands;
  uint64_t end = cpld ? uncut.atEnd.tckEdges : uncut.atEnd.commands;
  uint64_t k = std::max<uint64_t>(1, (end - start) / points);
  // 0 would mean no cut at all.
  for (uint64_t taken = std::max<uint64_t>(start + k - 1, 1); taken < end && settings.size() < points; taken += k) {
    settings.push_back(key + std::to_string(taken));
  }
  uint64_t busyFrom = uncut.atStart.busyUs, busy = uncut.atEnd.busyUs - busyFrom;
  uint32_t busyCuts = std::max<uint32_t>(1, points / kCommandCutsPerBusyCut);
  for (uint32_t i = 1; !cpld && busy > busyCuts && i <= busyCuts; i++) {
    settings.push_back("faults.power_cut_busy_us=" + std::to_string(busyFrom + busy * i / (busyCuts + 1)));
  }
  return settings;
}

class PowerCutMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  static int Failures() {
    return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
  }

  void SetUp() override {
    root_ = MakeTempDir("fwpowercut");
    ASSERT_FALSE(root_.empty());
    pristine_ = root_ + "/pristine";
    reference_ = root_ + "/reference";
  }

  // The module every cut starts from, just restarted after what the
  // operation needs was put on it.
  void MakePristine() {
    const Board& board = *GetParam().board;
    ModuleConfig config;
    std::string error;
    ASSERT_TRUE(ModuleConfigForBoard(board.kind, &config));
    for (const std::string& s : board.settings) ASSERT_TRUE(ModuleConfigAssign(&config, s, &error)) << error;
    ASSERT_TRUE(ModuleCreateFrom(pristine_, config, false, &error)) << error;
    config_ = config;
    if (GetParam().op->prepare != nullptr) GetParam().op->prepare(pristine_);
    ASSERT_TRUE(PowerUpModule(pristine_, Log(pristine_)));
  }

  static std::string Log(const std::string& dir) { return dir + ".log"; }

  ChildRun Run(const std::string& dir) {
    return RunOnModule(dir, RunOperation, const_cast<Operation*>(GetParam().op), Log(dir));
  }

  std::string BackupFile(const std::string& dir) const {
    return FileBytes(ModuleRootPath(dir) + "/" + kModuleImagesFolder + "/" + kOldBackupFile);
  }

  bool Nand() const { return ModuleIsNand(config_); }

  // What must hold the moment the power went.
  void CheckCut(const std::string& dir) {
    const Operation& op = *GetParam().op;
    if (GetParam().board->firstBootloader || !op.writesBootloader) {
      EXPECT_TRUE(CellBytes(dir, BootAreaCells(config_)) == CellBytes(pristine_, BootAreaCells(config_)))
          << "the bootloader's cells changed";
    }
    if (Nand()) {
      // Block 0 must be erased to be rewritten: between its erase and the
      // list's rewrite, the program's copy in the reserve holds the list.
      std::string list = CellBytes(pristine_, ListPageCells()), now = CellBytes(dir, ListPageCells());
      EXPECT_TRUE(now == list || (now == std::string(list.size(), '\0') && ListCopyHeld(dir, config_, list)))
          << "the bad-block list is lost";
    }
    if (!op.clearsRegistry && !op.writesRegistry) {
      EXPECT_TRUE(RegistryHalfValid(dir)) << "no valid registry half";
    }
    if (op.backsUp) {
      std::string file = BackupFile(dir);
      EXPECT_TRUE(file == BackupFile(pristine_) || file == BackupFile(reference_)) << "a partial backup file";
    }
    if (op.cpld) {
      CpldArray array;
      bool found = false;
      std::string error;
      EXPECT_TRUE(CpldArrayLoad(ModuleCpldPath(dir), &array, &found, &error)) << error;
    }
  }

  // What the operation run again leaves: the flash of the uncut run. Where
  // a save's registry half and a flash disk's sectors land depends on what
  // the cut left, so there the saved registry and the sectors are compared
  // instead of the cells.
  void CheckRerun(const std::string& dir) {
    const Operation& op = *GetParam().op;
    std::vector<CellRange> skipped;
    uint32_t registryEnd = config_.layoutRegistryBase + 2 * config_.layoutRegistryHalf;
    if (op.savesRegistry) {
      skipped = FlashCells(reference_, config_, config_.layoutRegistryBase, registryEnd);
      EXPECT_EQ(PersistentRegistryText(dir), PersistentRegistryText(reference_));
    }
    if (op.restoresFileSystem) {
      skipped = FlashCells(reference_, config_, registryEnd, ModuleFlashBytes(config_));
      if (referenceSectors_.empty()) referenceSectors_ = ModuleStoreSectorRuns(reference_);
      EXPECT_TRUE(ModuleStoreSectorRuns(dir) == referenceSectors_) << "the flash disk's sectors";
    }
    EXPECT_EQ(CellDifference(dir, reference_, skipped), "");
    if (op.backsUp) {
      EXPECT_TRUE(BackupFile(dir) == BackupFile(reference_)) << "the backup file";
    }
    if (op.cpld) {
      EXPECT_TRUE(FileBytes(ModuleCpldPath(dir)) == FileBytes(ModuleCpldPath(reference_))) << "cpld.img";
    }
  }

  std::string root_, pristine_, reference_;
  ModuleConfig config_;
  std::vector<SectorRun> referenceSectors_;
};

TEST_P(PowerCutMatrix, EachCutLeavesAModuleThatStartsAndARerunRepairs) {
  auto began = std::chrono::steady_clock::now();
  MakePristine();
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(CopyModule(pristine_, reference_));
  ASSERT_TRUE(ConfigureModule(reference_, {"faults.power_cut_busy_us=" + std::to_string(kCountBusyUs)}));
  ChildRun uncut = Run(reference_);
  ASSERT_EQ(uncut.status, 0) << FileBytes(Log(reference_));
  ASSERT_TRUE(ConfigureModule(reference_, {"faults.power_cut_busy_us=0"}));

  std::vector<std::string> cuts = CutSettings(uncut, GetParam().op->cpld, PointsPerCell());
  ASSERT_FALSE(cuts.empty());
  int failedCuts = 0;
  for (const std::string& cut : cuts) {
    SCOPED_TRACE(cut);
    int failuresBefore = Failures();
    std::string dir = root_ + "/cut";
    ASSERT_TRUE(CopyModule(pristine_, dir));
    ASSERT_TRUE(ConfigureModule(dir, {cut}));
    EXPECT_EQ(Run(dir).status, kPowerCutExitCode) << FileBytes(Log(dir));
    CheckCut(dir);
    ASSERT_TRUE(ConfigureModule(dir, {"faults.power_cut_after=0", "faults.power_cut_busy_us=0",
                                      "faults.power_cut_after_tck=0"}));
    EXPECT_TRUE(PowerUpModule(dir, Log(dir))) << FileBytes(Log(dir));
    EXPECT_EQ(Run(dir).status, 0) << FileBytes(Log(dir));
    CheckRerun(dir);
    bool failed = Failures() != failuresBefore;
    failedCuts += failed ? 1 : 0;
    // A failed cut's module stays for a post-mortem when FW_KEEP_TEMP is set.
    if (failed && std::getenv("FW_KEEP_TEMP") != nullptr) std::filesystem::rename(dir, dir + "." + cut);
    std::filesystem::remove_all(dir);
    std::filesystem::remove(Log(dir));
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  uint64_t span = GetParam().op->cpld ? uncut.atEnd.tckEdges - uncut.atStart.tckEdges
                                      : uncut.atEnd.commands - uncut.atStart.commands;
  std::printf("[ powercut ] %s/%s: %zu cuts over %llu %s, %llu us of flash busy time; %d failed; %.1f s\n",
              GetParam().board->name, GetParam().op->name, cuts.size(), static_cast<unsigned long long>(span),
              GetParam().op->cpld ? "TCK edges" : "flash commands",
              static_cast<unsigned long long>(uncut.atEnd.busyUs - uncut.atStart.busyUs), failedCuts, seconds);
}

INSTANTIATE_TEST_SUITE_P(Cells, PowerCutMatrix, ::testing::ValuesIn(Cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                           return std::string(info.param.board->name) + "_" + info.param.op->name;
                         });

}  // namespace
