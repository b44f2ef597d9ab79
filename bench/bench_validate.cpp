// Validating image files on the fast device model against reading the same
// file through the same platform calls into a 2 MB buffer, as `read()` would
// from the page cache. The heap the library holds while it validates is
// sampled from inside its progress callback, for images of 8 and 32 MB: it
// must stay at the work buffer whatever the image's size (records out of
// address order add a list of their ranges, 8 bytes a gap).
//
// BM_ValidateVsRead runs a validation and a read of the 32 MB image in pairs,
// in turns, so that load on the machine strikes both alike; its ratio is of
// their medians.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/bench_measure.h"
#include "bench/support/bench_module.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/work_buffer.h"
#include "module/bin_image_builder.h"
#include "platform/files.h"

namespace {

constexpr uint32_t kMB = 1u << 20;
constexpr uint32_t kRecordBytes = 0x10000;     // as image tools cut them
constexpr uint32_t kSmallRecordBytes = 0x200;  // many records, for the overlap check
constexpr uint32_t kPieceBytes = 2 * kMB;      // the library's work buffer
constexpr uint32_t kFlashMB = 32;              // the default board's flash
constexpr double kGoal = 1.3;

constexpr uint32_t kOsLinked = 0x80200000;     // lands at the OS base, 0x80000
constexpr uint32_t kOsRoomMB = 16;              // what fits between the OS base and the registry

std::string ImageFileName(uint32_t megabytes, bool reversed) {
  return "bench" + std::to_string(megabytes) + (reversed ? "r" : "") + ".bin";
}

std::u16string ImageName(uint32_t megabytes, bool reversed) {
  std::string name = ImageFileName(megabytes, reversed);
  return std::u16string(kModuleImagesPath) + std::u16string(name.begin(), name.end());
}

// Images that fit land at the OS base; one of the whole flash is made of
// flash offsets. `reversed`: small records in falling address order.
bool PlaceImage(const std::string& dir, uint32_t megabytes, bool reversed) {
  BinImageSpec spec;
  spec.bin.imageStart = megabytes <= kOsRoomMB ? kOsLinked : 0;
  spec.bin.imageLength = megabytes * kMB;
  spec.bin.records = BinRecordsFromBlob(spec.bin.imageStart, BinFillerBytes(megabytes * kMB, megabytes * kMB),
                                        reversed ? kSmallRecordBytes : kRecordBytes);
  if (reversed) std::reverse(spec.bin.records.begin(), spec.bin.records.end());
  std::vector<uint8_t> file;
  std::string error;
  bool ok = BinImageBuild(spec, &file, &error) && BinImageStore(dir, ImageFileName(megabytes, reversed), file, &error);
  if (!ok) std::fprintf(stderr, "bench image: %s\n", error.c_str());
  return ok;
}

bool Ready() {
  static bool ready = BenchModuleAttach("validate") && FWLInit() == 0 &&
                      PlaceImage(BenchModuleDir(), 8, false) && PlaceImage(BenchModuleDir(), kFlashMB, false) &&
                      PlaceImage(BenchModuleDir(), kFlashMB, true);
  return ready;
}

bool Validate(const std::u16string& path) {
  bool ok = FWLSetBinFile(path.c_str(), nullptr, BenchHeapSample, 1) == 0;
  FWLCloseFile();
  return ok;
}

// Only reading the file, through the same platform calls, in pieces the
// size of the work buffer.
uint64_t ReadWholeFile(const std::u16string& path, std::vector<uint8_t>* buffer) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  uint64_t total = 0;
  DWORD done = 0;
  while (ReadFile(file, buffer->data(), kPieceBytes, &done, nullptr) && done != 0) total += done;
  CloseHandle(file);
  benchmark::DoNotOptimize(buffer->data());
  return total;
}

// Arguments: megabytes, and 1 for the image of small records out of order.
void BM_Validate(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no module");
  uint32_t megabytes = static_cast<uint32_t>(state.range(0));
  std::u16string path = ImageName(megabytes, state.range(1) != 0);
  // A successful validation keeps the work buffer for the update; start without one.
  WorkBufferFree();
  BenchHeapStart();
  for (auto _ : state) {
    if (!Validate(path)) return state.SkipWithError("validation failed");
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * megabytes * kMB);
  state.counters["peak_heap_KiB"] = static_cast<double>(BenchHeapPeak()) / 1024;
}
BENCHMARK(BM_Validate)->Args({8, 0})->Args({kFlashMB, 0})->Args({kFlashMB, 1})->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadFile(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no module");
  std::u16string path = ImageName(kFlashMB, false);
  std::vector<uint8_t> buffer(kPieceBytes);
  uint64_t total = 0;
  for (auto _ : state) total += ReadWholeFile(path, &buffer);
  state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_ReadFile)->Unit(benchmark::kMillisecond)->UseRealTime();

double g_ratio = 0;

void BM_ValidateVsRead(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no module");
  std::u16string path = ImageName(kFlashMB, false);
  std::vector<uint8_t> buffer(kPieceBytes);
  std::vector<double> validations, reads;
  for (auto _ : state) {
    // Turns, so that neither always runs on the other's warm caches.
    bool readFirst = validations.size() % 2 == 0;
    double read = 0;
    if (readFirst) {
      double start = BenchNow();
      ReadWholeFile(path, &buffer);
      read = BenchNow() - start;
    }
    double start = BenchNow();
    if (!Validate(path)) return state.SkipWithError("validation failed");
    double validation = BenchNow() - start;
    if (!readFirst) {
      start = BenchNow();
      ReadWholeFile(path, &buffer);
      read = BenchNow() - start;
    }
    state.SetIterationTime(validation);
    validations.push_back(validation);
    reads.push_back(read);
  }
  g_ratio = BenchMedian(validations) / BenchMedian(reads);
  state.SetBytesProcessed(int64_t{state.iterations()} * kFlashMB * kMB);
  state.counters["validate_ms"] = BenchMedian(validations) * 1e3;
  state.counters["read_ms"] = BenchMedian(reads) * 1e3;
  state.counters["x_read"] = g_ratio;
}
BENCHMARK(BM_ValidateVsRead)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  if (g_ratio > 0) {
    std::printf("validation of %u MB: %.2f x reading the file (goal: at most %.1f)\n", kFlashMB, g_ratio, kGoal);
  }
  return status;
}
