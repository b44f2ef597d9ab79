#include "tests/powercut/cut_runs.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "flash/nand_bbm.h"
#include "fwlib/init.h"
#include "module/board_support.h"
#include "module/cpld_model.h"
#include "module/hardware.h"
#include "module/module_dir.h"
#include "module/module_image.h"
#include "module/nand_block_map.h"
#include "module/nand_model.h"
#include "module/nor_model.h"
#include "module/registry_persist.h"
#include "platform/clock.h"
#include "platform/hardware_link.h"
#include "platform/platform.h"
#include "platform/ui/ui_backend.h"
#include "tests/support/run_program.h"
#include "tests/support/shell_layers.h"

namespace {

constexpr uint32_t kNorBootAreaBytes = 0x40000;
constexpr uint32_t kNandBootAreaBlocks = 2;
constexpr int kRestartReturned = 4;

struct ChildReport {
  ModelCounts atStart;
  ModelCounts atEnd;
};

ModelCounts Counts() {
  ModelCounts c;
  ModuleHardware* hw = PlatformHardware();
  if (hw == nullptr) return c;
  if (hw->nor != nullptr) {
    c.commands = NorModelCommandWrites(hw->nor);
    c.busyUs = NorModelBusyUs(hw->nor);
  }
  if (hw->nand != nullptr) {
    NandCounters n = NandModelCounters(hw->nand);
    c.commands = n.commandsStarted;
    c.busyUs = n.busyUs;
  }
  if (hw->cpld != nullptr) c.tckEdges = CpldModelTap(hw->cpld)->risingEdges;
  return c;
}

// The child's standard streams: nothing in, everything out into the log.
void Redirect(const std::string& log) {
  int in = ::open("/dev/null", O_RDONLY);
  int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (in < 0 || out < 0) ::_exit(kChildNoModule);
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(out, STDERR_FILENO);
}

// The program as a freshly started process sees it, on the module in `dir`.
void StartChild(const std::string& dir, const std::string& log) {
  Redirect(log);
  ResetShellLayersForTests();
  UiSelectBackend(UiBackendKind::Recording);
  std::string error;
  if (!PlatformAttachModule(dir, false, &error)) {
    std::fprintf(stderr, "cannot attach %s: %s\n", dir.c_str(), error.c_str());
    ::_exit(kChildNoModule);
  }
  ClockSkipSleepsForTests(true);
}

int WaitFor(pid_t pid) {
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

struct Mapped {
  const uint8_t* bytes = nullptr;
  size_t size = 0;
  explicit Mapped(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY);
    struct stat st = {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0) {
      void* view = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
      if (view != MAP_FAILED) {
        bytes = static_cast<const uint8_t*>(view);
        size = static_cast<size_t>(st.st_size);
      }
    }
    if (fd >= 0) ::close(fd);
  }
  ~Mapped() {
    if (bytes != nullptr) ::munmap(const_cast<uint8_t*>(bytes), size);
  }
  Mapped(const Mapped&) = delete;
  Mapped& operator=(const Mapped&) = delete;
};

// The module's flash as its OS sees it, open while the object lives.
struct OpenFlash {
  Module module;
  ModuleImage image;
  bool open = false;
  explicit OpenFlash(const std::string& dir) {
    std::string error;
    open = ModuleOpen(dir, &module, &error) && ModuleImageOpen(module, &image, &error);
  }
  ~OpenFlash() { ModuleImageClose(&image); }
};

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

ChildRun RunOnModule(const std::string& dir, bool (*body)(void*), void* context, const std::string& log) {
  ChildRun run;
  int fds[2];
  if (::pipe(fds) != 0) return run;
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    StartChild(dir, log);
    // A failed start is the operation's to report, as the program's own does.
    FWLInit();
    ChildReport report;
    report.atStart = Counts();
    bool ok = body(context);
    report.atEnd = Counts();
    ssize_t written = ::write(fds[1], &report, sizeof report);
    ::_exit(ok && written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
  }
  ::close(fds[1]);
  run.status = WaitFor(pid);
  ChildReport report;
  if (::read(fds[0], &report, sizeof report) == static_cast<ssize_t>(sizeof report)) {
    run.atStart = report.atStart;
    run.atEnd = report.atEnd;
  }
  ::close(fds[0]);
  return run;
}

bool PowerUpModule(const std::string& dir, const std::string& log) {
  std::fflush(nullptr);
  pid_t pid = ::fork();
  if (pid == 0) {
    // Through the flash as it is, not through a program's start: a cut can
    // leave the module's NAND driver unable to start until the program has
    // repaired its list, and the module comes up all the same.
    Redirect(log);
    Module module;
    ModuleImage image;
    std::string error;
    if (!ModuleOpen(dir, &module, &error) || !ModuleImageOpen(module, &image, &error)) {
      std::fprintf(stderr, "cannot open %s: %s\n", dir.c_str(), error.c_str());
      ::_exit(kChildNoModule);
    }
    BoardRestart(dir, image.flash, true, false, &error);
    ::_exit(kRestartReturned);
  }
  return WaitFor(pid) == kModuleRestartExitStatus;
}

bool CopyModule(const std::string& from, const std::string& to) {
  return RunProgram({"/bin/cp", "-a", "--sparse=always", from, to}).exitCode == 0;
}

CellRange BootAreaCells(const ModuleConfig& config) {
  if (!ModuleIsNand(config)) return {0, kNorBootAreaBytes};
  return {0, uint64_t{kNandBootAreaBlocks} * kNandPagesPerBlock * kNandPageRecordBytes};
}

CellRange ListPageCells() {
  uint64_t from = uint64_t{kNandListPage} * kNandPageRecordBytes;
  return {from, from + kNandPageRecordBytes};
}

bool ListCopyHeld(const std::string& dir, const ModuleConfig& config, const std::string& listCells) {
  const NandChipType* chip = NandChipTypeOf(config.nandChipId);
  if (chip == nullptr || listCells.size() != kNandPageRecordBytes) return false;
  // Cells are stored inverted: the mark's words as the chip holds them.
  std::string mark(2 * sizeof(uint32_t), '\0');
  uint32_t words[2] = {~BBM_LIST_COPY_MARK, BBM_LIST_COPY_MARK};
  std::memcpy(mark.data(), words, mark.size());
  Mapped cells(ModuleFlashPath(dir));
  for (uint32_t block = NandUsableBlocks(chip); block < chip->blocks; block++) {
    uint64_t at = uint64_t{block} * kNandPagesPerBlock * kNandPageRecordBytes;
    if (at + kNandPageRecordBytes > cells.size) return false;
    const char* record = reinterpret_cast<const char*>(cells.bytes) + at;
    if (std::memcmp(record, listCells.data(), kNandPageBytes) == 0 &&
        std::memcmp(record + kNandPageBytes + BBM_LIST_COPY_MARK_WORD * sizeof(uint32_t), mark.data(), mark.size()) ==
            0) {
      return true;
    }
  }
  return false;
}

std::vector<CellRange> FlashCells(const std::string& dir, const ModuleConfig& config, uint32_t from, uint32_t to) {
  if (!ModuleIsNand(config)) return {{from, to}};
  // The list page is stored inverted, as every NAND cell.
  std::string stored = CellBytes(dir, ListPageCells());
  uint8_t list[kNandPageBytes];
  for (uint32_t i = 0; i < kNandPageBytes && i < stored.size(); i++) list[i] = static_cast<uint8_t>(~stored[i]);
  const NandChipType* chip = NandChipTypeOf(config.nandChipId);
  NandBlockMap map;
  std::string error;
  std::vector<CellRange> cells;
  if (chip == nullptr || !NandBlockMapOpenPrivate(&map, &error)) return cells;
  if (NandBlockMapBuild(&map, list, chip->blocks)) {
    for (uint32_t page = from / kNandPageBytes; page < to / kNandPageBytes; page++) {
      uint32_t physical = 0;
      if (!NandPhysicalPage(map, chip, page, &physical)) continue;
      uint64_t cell = uint64_t{physical} * kNandPageRecordBytes;
      if (!cells.empty() && cells.back().to == cell) cells.back().to += kNandPageRecordBytes;
      else cells.push_back({cell, cell + kNandPageRecordBytes});
    }
  }
  NandBlockMapClose(&map);
  return cells;
}

std::string CellBytes(const std::string& dir, CellRange range) {
  Mapped cells(ModuleFlashPath(dir));
  if (range.to > cells.size || range.from > range.to) return {};
  return std::string(reinterpret_cast<const char*>(cells.bytes) + range.from, range.to - range.from);
}

std::string CellDifference(const std::string& a, const std::string& b, const std::vector<CellRange>& skipped) {
  Mapped x(ModuleFlashPath(a)), y(ModuleFlashPath(b));
  if (x.bytes == nullptr || y.bytes == nullptr || x.size != y.size) return "flash.img cannot be compared";
  std::vector<CellRange> skips = skipped;
  std::sort(skips.begin(), skips.end(), [](const CellRange& l, const CellRange& r) { return l.from < r.from; });
  uint64_t at = 0;
  for (size_t i = 0; i <= skips.size(); i++) {
    uint64_t end = i < skips.size() ? std::min<uint64_t>(skips[i].from, x.size) : x.size;
    if (at < end && std::memcmp(x.bytes + at, y.bytes + at, end - at) != 0) {
      while (x.bytes[at] == y.bytes[at]) at++;
      return "flash.img differs at " + Hex(at);
    }
    if (i < skips.size()) at = std::max(at, skips[i].to);
  }
  return {};
}

bool RegistryHalfValid(const std::string& dir) {
  OpenFlash flash(dir);
  RegistryHalfState halves[2];
  int current = -1;
  std::string error;
  return flash.open && RegistryPersistHalves(flash.module, flash.image.flash, halves, &current, &error) &&
         current >= 0;
}

std::string PersistentRegistryText(const std::string& dir) {
  OpenFlash flash(dir);
  std::string text, error;
  bool found = false;
  if (!flash.open || !RegistryPersistRead(flash.module, flash.image.flash, &text, &found, &error) || !found) return {};
  return text;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
