// A backup of every region of the factory module (BIN records and the flash
// disk's file-system stream) on the fast device model, against copying the
// same bytes, two ways:
// - a whole `flashwright /b` process against `cat flash.img` and `dd` of as
//   many bytes as the backup holds, as the commands themselves;
// - the library's backup in this process against reading just the regions
//   out of flash.img and writing them into a file that is synced before it
//   is closed, as the backup makes its file durable before it takes the
//   target's name: the stricter of the two.
// Each pair runs in turns, so that load on the machine strikes both alike
// and neither always finds the other's caches warm; ratios are of medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/bench_measure.h"
#include "bench/support/bench_module.h"
#include "fwlib/backup.h"
#include "fwlib/init.h"
#include "fwlib/regions.h"
#include "module/module_dir.h"
#include "platform/files.h"

namespace {

constexpr const WCHAR* kTarget = u"\\Temp\\bench-backup.bin";
constexpr const char* kReferenceName = "/Temp/bench-reference.bin";  // under the module's root
constexpr size_t kPieceBytes = 2u << 20;                            // the library's work buffer
constexpr double kGoal = 1.3;

struct BenchModule {
  std::string dir;
  bool ready = false;
  std::vector<FlashRegion> regions;  // what a backup saves
};

BenchModule& TheModule() {
  static BenchModule module = [] {
    BenchModule m;
    m.ready = BenchModuleAttach("backup") && FWLInit() == 0;
    m.dir = BenchModuleDir();
    RegionSummary summary = {REGION_ALL, 0, 0, 0};
    FlashRegion list[REGION_TABLE_ENTRIES] = {};
    if (m.ready && FWLGetRegionInfo(&summary, list) == 0) {
      for (const FlashRegion* r = list; r->id != 0; r++) m.regions.push_back(*r);
    }
    return m;
  }();
  return module;
}

// The bytes a backup carries: each region's used bytes, the Registry whole.
uint64_t SavedBytes(const BenchModule& m) {
  uint64_t bytes = 0;
  for (const FlashRegion& r : m.regions) bytes += (r.id & REGION_REGISTRY) ? r.length : r.used;
  return bytes;
}

// Seconds gone by, and seconds of this thread's processor time (kernel
// work done on its behalf, such as copying written bytes, included).
struct Clocks {
  double wall;
  double cpu;
};

Clocks Now() {
  timespec cpu = {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  return {BenchNow(), static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9};
}

struct Samples {
  std::vector<double> wall, cpu;
  void Add(const Clocks& start) {
    Clocks end = Now();
    wall.push_back(end.wall - start.wall);
    cpu.push_back(end.cpu - start.cpu);
  }
};

// Reads the regions out of flash.img and writes them into one file, synced
// before it is closed.
bool CopyRegionsFromImage(const BenchModule& m, std::vector<char>* buffer) {
  int in = ::open(ModuleFlashPath(m.dir).c_str(), O_RDONLY | O_CLOEXEC);
  std::string target = ModuleRootPath(m.dir) + kReferenceName;
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool ok = in >= 0 && out >= 0;
  for (const FlashRegion& r : m.regions) {
    uint64_t left = (r.id & REGION_REGISTRY) ? r.length : r.used;
    for (uint64_t at = r.base; ok && left > 0;) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(left, buffer->size()));
      ok = ::pread(in, buffer->data(), piece, static_cast<off_t>(at)) == static_cast<ssize_t>(piece) &&
           ::write(out, buffer->data(), piece) == static_cast<ssize_t>(piece);
      at += piece;
      left -= piece;
    }
  }
  ok = ok && ::fsync(out) == 0;
  if (in >= 0) ::close(in);
  if (out >= 0) ::close(out);
  return ok;
}

double g_ratio = 0;
double g_cpuRatio = 0;

void BM_BackupAllRegions(benchmark::State& state) {
  BenchModule& m = TheModule();
  if (!m.ready) return state.SkipWithError("no module");
  std::vector<char> buffer(kPieceBytes);
  Samples backups, references;
  for (auto _ : state) {
    // Turns, so that neither always runs on the other's warm caches.
    bool referenceFirst = backups.wall.size() % 2 == 0;
    if (referenceFirst) {
      Clocks start = Now();
      if (!CopyRegionsFromImage(m, &buffer)) return state.SkipWithError("reference copy failed");
      references.Add(start);
    }
    Clocks start = Now();
    if (FWLBackupToFile(kTarget, REGION_ALL, nullptr, nullptr, nullptr) != 0) {
      return state.SkipWithError("backup failed");
    }
    backups.Add(start);
    if (!referenceFirst) {
      start = Now();
      if (!CopyRegionsFromImage(m, &buffer)) return state.SkipWithError("reference copy failed");
      references.Add(start);
    }
    state.SetIterationTime(backups.wall.back());
  }
  g_ratio = BenchMedian(backups.wall) / BenchMedian(references.wall);
  g_cpuRatio = BenchMedian(backups.cpu) / BenchMedian(references.cpu);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SavedBytes(m)));
  state.counters["backup_ms"] = BenchMedian(backups.wall) * 1e3;
  state.counters["ref_ms"] = BenchMedian(references.wall) * 1e3;
  state.counters["x_ref"] = g_ratio;
  state.counters["cpu_x_ref"] = g_cpuRatio;
}
BENCHMARK(BM_BackupAllRegions)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2);

double g_processRatio = 0;

// `flashwright /b` exits with 1 when the backup succeeded.
bool BackupProcess(const BenchModule& m, const std::string& target) {
  return BenchRun({BenchBuiltProgram("flashwright"), "--module", m.dir, "--ui", "console", "/b" + target}, 1);
}

// `cat flash.img`, then `dd` of as many bytes as the backup holds.
bool CatDd(const BenchModule& m, uint64_t bytes) {
  std::string flash = ModuleFlashPath(m.dir);
  return BenchRun({"cat", flash}, 0, "/dev/null") &&
         BenchRun({"dd", "if=" + flash, "of=" + ModuleRootPath(m.dir) + kReferenceName, "bs=1M",
                   "count=" + std::to_string(bytes), "iflag=count_bytes", "status=none"});
}

void BM_BackupProcessVsCatDd(benchmark::State& state) {
  BenchModule& m = TheModule();
  if (!m.ready) return state.SkipWithError("no module");
  const std::string target = "\\Temp\\bench-process.bin";
  if (!BackupProcess(m, target)) return state.SkipWithError("flashwright /b failed");
  std::error_code ec;
  uint64_t bytes = std::filesystem::file_size(ModuleRootPath(m.dir) + "/Temp/bench-process.bin", ec);
  if (ec) return state.SkipWithError("no backup file");
  std::vector<double> backups, references;
  for (auto _ : state) {
    bool referenceFirst = backups.size() % 2 == 0;
    double start = BenchNow();
    if (referenceFirst && !CatDd(m, bytes)) return state.SkipWithError("cat or dd failed");
    double middle = BenchNow();
    if (!BackupProcess(m, target)) return state.SkipWithError("flashwright /b failed");
    double end = BenchNow();
    if (!referenceFirst && !CatDd(m, bytes)) return state.SkipWithError("cat or dd failed");
    backups.push_back(end - middle);
    references.push_back(referenceFirst ? middle - start : BenchNow() - end);
    state.SetIterationTime(backups.back());
  }
  g_processRatio = BenchMedian(backups) / BenchMedian(references);
  state.counters["backup_ms"] = BenchMedian(backups) * 1e3;
  state.counters["ref_ms"] = BenchMedian(references) * 1e3;
  state.counters["x_catdd"] = g_processRatio;
}
BENCHMARK(BM_BackupProcessVsCatDd)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  if (g_processRatio > 0) {
    std::printf("flashwright /b: %.2f x cat flash.img + dd of the backup's bytes (goal: at most %.1f)\n",
                g_processRatio, kGoal);
  }
  if (g_ratio > 0) {
    std::printf("backup in process: %.2f x reading its regions and writing a synced file, %.2f x its processor time\n",
                g_ratio, g_cpuRatio);
  }
  return status;
}
