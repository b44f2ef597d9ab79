// The NAND board beside the NOR board, on the fast models of both: a 32 MB
// update of the same image, the rate at which single register accesses
// move data (the NAND controller's data buffer during page reads, the NOR
// array read word by word), and a backup of every region of the factory
// module (its flash disk walked through the sector address queries). Every
// argument pair runs NOR first, so the summary lines can put the NAND figure
// against it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/bench_module.h"
#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nand_controller.h"
#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/update.h"
#include "module/bin_image_builder.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t kMB = 1u << 20;
constexpr uint32_t kImageBytes = 32 * kMB;
constexpr uint32_t kOsLinked = 0x80200000;  // lands at the OS base, 0x80000, on both boards
constexpr uint32_t kRecordBytes = 0x10000;
constexpr char kImageName[] = "bench32.bin";  // in the module's images folder
constexpr uint32_t kWordsPerRun = 0x10000;
// A page of the NAND board's flash disk region; what it holds does not matter.
constexpr uint32_t kReadPage = 0x8000;
constexpr const WCHAR* kBackupTarget = u"\\Temp\\bench-backup.bin";

enum BoardIndex { kNor = 0, kNand = 1 };
enum Figure { kUpdate = 0, kRegisterWords = 1, kBackup = 2, kFigures = 3 };

struct Board {
  const char* name;
  std::vector<std::string> settings;
  uint32_t flashType;
};

// A 64 MB NOR pair, so the image fits above the OS base as on the NAND board.
const Board kBoards[] = {{"nor", {"flash.nor_device_code=0x0019"}, FLASH_TYPE_NOR},
                         {"nand", {}, FLASH_TYPE_NAND}};

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Seconds per iteration of each benchmark and board, for the summary.
double g_seconds[kFigures][2] = {};

// The board's module under `name` (one per benchmark that changes the
// flash), attached and the library started on it.
bool Attach(const char* name, BoardIndex board) {
  const Board& b = kBoards[board];
  return BenchModuleUseAs(name, b.name, b.settings) && FWLInit() == 0 && FlashType == b.flashType;
}

bool Use(BoardIndex board) {
  if (!Attach(kBoards[board].name, board)) return false;
  BinImageSpec spec;
  spec.bin.imageStart = kOsLinked;
  spec.bin.imageLength = kImageBytes;
  spec.bin.records = BinRecordsFromBlob(kOsLinked, BinFillerBytes(kImageBytes, 7), kRecordBytes);
  std::vector<uint8_t> file;
  std::string error;
  bool ok = BinImageBuild(spec, &file, &error) && BinImageStore(BenchModuleDir(), kImageName, file, &error);
  if (!ok) std::fprintf(stderr, "bench image: %s\n", error.c_str());
  return ok;
}

void Record(benchmark::State& state, int which, BoardIndex board, double seconds) {
  g_seconds[which][board] = seconds;
  if (board == kNand && g_seconds[which][kNor] > 0) {
    state.counters["x_nor"] = g_seconds[which][kNand] / g_seconds[which][kNor];
  }
}

// Argument: the board.
void BM_Update32MB(benchmark::State& state) {
  auto board = static_cast<BoardIndex>(state.range(0));
  if (!Use(board)) return state.SkipWithError("no module");
  std::u16string path = std::u16string(kModuleImagesPath) + u"bench32.bin";
  double seconds = 0;
  for (auto _ : state) {
    auto start = Now();
    if (FWLSetBinFile(path.c_str(), nullptr, nullptr, 1) != 0 || FWLDoUpdate(nullptr, nullptr, nullptr) != 0) {
      return state.SkipWithError("update failed");
    }
    FWLCloseFile();
    seconds += Now() - start;
  }
  state.SetLabel(kBoards[board].name);
  state.SetBytesProcessed(int64_t{state.iterations()} * kImageBytes);
  Record(state, kUpdate, board, seconds / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Update32MB)->Arg(kNor)->Arg(kNand)->MinTime(3)->Unit(benchmark::kMillisecond)->UseRealTime();

// Words moved through single register reads. NAND: whole page reads (command,
// status polls and the page's 512 data words); NOR: the array, word by word.
void BM_RegisterWords(benchmark::State& state) {
  auto board = static_cast<BoardIndex>(state.range(0));
  if (!Use(board)) return state.SkipWithError("no module");
  std::vector<uint32_t> page(NAND_MAX_PAGE_BYTES / 4);
  volatile uint32_t* nor = board == kNor ? PhysMapRange(0, kWordsPerRun * 4) : nullptr;
  uint64_t words = 0;
  double seconds = 0;
  FlashLock(FLASH_WAIT_FOREVER);
  for (auto _ : state) {
    auto start = Now();
    if (board == kNand) {
      for (uint32_t done = 0; done < kWordsPerRun; done += page.size()) {
        if (NandReadPage(page.data(), nullptr, 0, kReadPage) != NAND_STATUS_OK) {
          FlashUnlock();
          return state.SkipWithError("page read failed");
        }
      }
      NandRestoreControl();
    } else {
      uint32_t sum = 0;
      for (uint32_t i = 0; i < kWordsPerRun; i++) sum += READ_REGISTER_ULONG(nor + i);
      benchmark::DoNotOptimize(sum);
    }
    seconds += Now() - start;
    words += kWordsPerRun;
  }
  FlashUnlock();
  if (nor != nullptr) PhysUnmap(nor);
  state.SetLabel(kBoards[board].name);
  state.counters["words_per_s"] = benchmark::Counter(static_cast<double>(words), benchmark::Counter::kIsRate);
  Record(state, kRegisterWords, board, seconds / static_cast<double>(words));
}
BENCHMARK(BM_RegisterWords)->Arg(kNor)->Arg(kNand)->Unit(benchmark::kMicrosecond)->UseRealTime();

// `/b` of the factory module: every region into one file, the flash disk as
// its file-system stream. The updates above overwrite the flash disk, so
// this runs on modules of its own.
void BM_BackupAllRegions(benchmark::State& state) {
  auto board = static_cast<BoardIndex>(state.range(0));
  std::string name = std::string(kBoards[board].name) + "-backup";
  if (!Attach(name.c_str(), board)) return state.SkipWithError("no module");
  double seconds = 0;
  for (auto _ : state) {
    auto start = Now();
    if (FWLBackupToFile(kBackupTarget, REGION_ALL, nullptr, nullptr, nullptr) != 0) {
      return state.SkipWithError("backup failed");
    }
    seconds += Now() - start;
  }
  state.SetLabel(kBoards[board].name);
  Record(state, kBackup, board, seconds / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_BackupAllRegions)->Arg(kNor)->Arg(kNand)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  if (g_seconds[kUpdate][kNor] > 0 && g_seconds[kUpdate][kNand] > 0) {
    std::printf("NAND update of 32 MB: %.2f x the NOR update (goal: at most 3)\n",
                g_seconds[kUpdate][kNand] / g_seconds[kUpdate][kNor]);
  }
  if (g_seconds[kBackup][kNor] > 0 && g_seconds[kBackup][kNand] > 0) {
    std::printf("NAND backup of every region: %.2f x the NOR backup\n",
                g_seconds[kBackup][kNand] / g_seconds[kBackup][kNor]);
  }
  return status;
}
