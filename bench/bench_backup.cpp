// A backup of every region of the factory module (BIN records and the flash
// disk's file-system stream) on the fast device model, against reading the
// same bytes straight from the flash image file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

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
    FlashRegion list[7] = {};
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

void BM_BackupAllRegions(benchmark::State& state) {
  BenchModule& m = TheModule();
  if (!m.ready) {
    state.SkipWithError("no module");
    return;
  }
  for (auto _ : state) {
    if (FWLBackupToFile(kTarget, REGION_ALL, nullptr, nullptr, nullptr) != 0) state.SkipWithError("backup failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SavedBytes(m)));
}
BENCHMARK(BM_BackupAllRegions)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same regions read from flash.img with plain reads into a 2 MB buffer.
void BM_ReadRegionsFromImage(benchmark::State& state) {
  BenchModule& m = TheModule();
  if (!m.ready) {
    state.SkipWithError("no module");
    return;
  }
  std::vector<char> buffer(2u << 20);
  int fd = ::open(ModuleFlashPath(m.dir).c_str(), O_RDONLY);
  for (auto _ : state) {
    for (const FlashRegion& r : m.regions) {
      uint64_t left = (r.id & REGION_REGISTRY) ? r.length : r.used;
      for (uint64_t at = r.base; left > 0;) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
        if (::pread(fd, buffer.data(), chunk, static_cast<off_t>(at)) != static_cast<ssize_t>(chunk)) {
          state.SkipWithError("read failed");
          break;
        }
        at += chunk;
        left -= chunk;
      }
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  ::close(fd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SavedBytes(m)));
}
BENCHMARK(BM_ReadRegionsFromImage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv); }
