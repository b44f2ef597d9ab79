// A backup of every region of the factory module (BIN records and the flash
// disk's file-system stream) on the fast device model, against what `cat` and
// `dd` would do with the same bytes: read them out of flash.img and write a
// file of the same size, made durable as the backup makes its file before it
// takes the target's name. The two run in pairs, in turns, so that load on
// the machine strikes both alike; the ratio is of their medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

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
  return {std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
          static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9};
}

struct Samples {
  std::vector<double> wall, cpu;
  void Add(const Clocks& start) {
    Clocks end = Now();
    wall.push_back(end.wall - start.wall);
    cpu.push_back(end.cpu - start.cpu);
  }
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

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
  g_ratio = Median(backups.wall) / Median(references.wall);
  g_cpuRatio = Median(backups.cpu) / Median(references.cpu);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SavedBytes(m)));
  state.counters["backup_ms"] = Median(backups.wall) * 1e3;
  state.counters["ref_ms"] = Median(references.wall) * 1e3;
  state.counters["x_ref"] = g_ratio;
  state.counters["cpu_x_ref"] = g_cpuRatio;
}
BENCHMARK(BM_BackupAllRegions)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  if (g_ratio > 0) {
    std::printf("backup of every region: %.2f x reading and writing its bytes (goal: at most %.1f), %.2f x its processor time\n",
                g_ratio, kGoal, g_cpuRatio);
  }
  return status;
}
