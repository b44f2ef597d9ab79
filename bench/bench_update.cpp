// Updates against copying the same bytes. Every iteration runs `/u` of an OS
// image (FWLSetBinFile with verify, then FWLDoUpdate) and then the reference:
// `dd` of the image's bytes into a copy of flash.img at the same offset and
// `cmp` of them against the source, as the commands themselves. Counter
// x_ddcmp is the update's time over the reference's, from the same
// iterations, so load on the machine moves both alike.
//
// Also: the heap the library holds during a 60 MB update, and an update in
// realistic timing against the erase and program times the model charged.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/bench_measure.h"
#include "bench/support/bench_module.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/update.h"
#include "module/bin_image_builder.h"
#include "module/hardware.h"
#include "module/module_dir.h"
#include "module/nor_model.h"
#include "platform/hardware_link.h"

namespace {

constexpr uint32_t kMB = 1u << 20;
constexpr uint32_t kOsLinked = 0x80200000;  // lands at the OS base on every board
constexpr uint32_t kOsOffset = 0x80000;
constexpr uint32_t kRecordBytes = 0x10000;
constexpr uint32_t kSeed = 7;
constexpr double kUpdateGoal = 5;     // at most this many times the reference
constexpr double kRealisticGoal = 1.05;
constexpr size_t kHeapGoalKiB = 4096;

struct Case {
  const char* label;
  const char* board;
  std::vector<std::string> settings;
  uint32_t megabytes;
};

// Index = the benchmark's argument. The NOR pair of 64 MB holds the same
// 32 MB image as the NAND board.
const Case kCases[] = {
    {"nor64-32MB", "nor", {"flash.nor_device_code=0x0019"}, 32},
    {"nor-16MB", "nor", {}, 16},
    {"nand-32MB", "nand", {}, 32},
    {"nor64-60MB", "nor", {"flash.nor_device_code=0x0019"}, 60},
    {"nor-realistic-4MB", "nor", {"flash.timing=realistic"}, 4},
};
enum CaseIndex { kNor64 = 0, kNorDefault = 1, kNand = 2, kHeap60 = 3, kRealistic = 4 };

struct Prepared {
  std::u16string image;   // the image, as the program names it
  std::string payload;    // its bytes alone, for dd
  std::string flashCopy;  // a copy of flash.img, for dd to write into
};

std::string ImageFileName(const Case& c) { return std::string("bench-") + c.label + ".bin"; }

// Attaches the case's module and places its image, payload and flash copy.
bool Prepare(const Case& c, Prepared* out) {
  if (!BenchModuleUse(c.board, c.settings) || FWLInit() != 0) return false;
  std::vector<uint8_t> bytes = BinFillerBytes(size_t{c.megabytes} * kMB, kSeed);
  BinImageSpec spec;
  spec.bin.imageStart = kOsLinked;
  spec.bin.imageLength = static_cast<uint32_t>(bytes.size());
  spec.bin.records = BinRecordsFromBlob(kOsLinked, bytes, kRecordBytes);
  std::vector<uint8_t> file;
  std::string error;
  std::string name = ImageFileName(c);
  if (!BinImageBuild(spec, &file, &error) || !BinImageStore(BenchModuleDir(), name, file, &error)) {
    std::fprintf(stderr, "bench image: %s\n", error.c_str());
    return false;
  }
  out->image = std::u16string(kModuleImagesPath) + std::u16string(name.begin(), name.end());
  out->payload = BenchModuleDir() + "/" + c.label + ".payload";
  out->flashCopy = BenchModuleDir() + "/" + c.label + ".flash-copy";
  FILE* f = std::fopen(out->payload.c_str(), "wb");
  bool written = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f != nullptr) written = std::fclose(f) == 0 && written;
  std::error_code ec;
  std::filesystem::copy_file(ModuleFlashPath(BenchModuleDir()), out->flashCopy,
                             std::filesystem::copy_options::overwrite_existing, ec);
  return written && !ec;
}

// dd of the payload into the flash copy at the OS base, then cmp of the two.
bool Reference(const Prepared& p, uint32_t megabytes) {
  std::string offset = std::to_string(kOsOffset);
  return BenchRun({"dd", "if=" + p.payload, "of=" + p.flashCopy, "bs=1M", "seek=" + offset, "oflag=seek_bytes",
              "conv=notrunc", "status=none"}) &&
         BenchRun({"cmp", "-s", "-n", std::to_string(size_t{megabytes} * kMB), "-i", "0:" + offset, p.payload,
              p.flashCopy});
}

bool Update(const std::u16string& image, BytesProgressFn progress = nullptr) {
  bool ok = FWLSetBinFile(image.c_str(), nullptr, nullptr, 1) == 0 && FWLDoUpdate(nullptr, nullptr, progress) == 0;
  FWLCloseFile();
  return ok;
}

double g_ratio[3] = {};

// Argument: the case (the NOR boards and NAND).
void BM_UpdateVsDdCmp(benchmark::State& state) {
  const Case& c = kCases[state.range(0)];
  Prepared p;
  if (!Prepare(c, &p)) return state.SkipWithError("no module");
  double update = 0, reference = 0;
  for (auto _ : state) {
    double start = BenchNow();
    if (!Update(p.image)) return state.SkipWithError("update failed");
    double middle = BenchNow();
    if (!Reference(p, c.megabytes)) return state.SkipWithError("dd or cmp failed");
    update += middle - start;
    reference += BenchNow() - middle;
    state.SetIterationTime(middle - start);
  }
  state.SetLabel(c.label);
  state.SetBytesProcessed(int64_t{state.iterations()} * c.megabytes * kMB);
  state.counters["x_ddcmp"] = update / reference;
  g_ratio[state.range(0)] = update / reference;
}
BENCHMARK(BM_UpdateVsDdCmp)
    ->Arg(kNor64)
    ->Arg(kNorDefault)
    ->Arg(kNand)
    ->MinTime(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_UpdateHeap(benchmark::State& state) {
  const Case& c = kCases[kHeap60];
  Prepared p;
  if (!Prepare(c, &p)) return state.SkipWithError("no module");
  BenchHeapStart();
  for (auto _ : state) {
    if (!Update(p.image, BenchHeapSample)) return state.SkipWithError("update failed");
  }
  state.SetLabel(c.label);
  state.counters["peak_heap_KiB"] = static_cast<double>(BenchHeapPeak()) / 1024;
}
BENCHMARK(BM_UpdateHeap)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

double g_realistic = 0;

// One update, against the busy time the chips were charged for it.
void BM_UpdateRealistic(benchmark::State& state) {
  const Case& c = kCases[kRealistic];
  Prepared p;
  if (!Prepare(c, &p)) return state.SkipWithError("no module");
  const NorModel* nor = PlatformHardware()->nor;
  if (nor == nullptr) return state.SkipWithError("no NOR model");
  double seconds = 0, charged = 0;
  for (auto _ : state) {
    uint64_t busyBefore = NorModelBusyUs(nor);
    double start = BenchNow();
    if (!Update(p.image)) return state.SkipWithError("update failed");
    seconds += BenchNow() - start;
    charged += static_cast<double>(NorModelBusyUs(nor) - busyBefore) / 1e6;
  }
  state.SetLabel(c.label);
  state.counters["charged_s"] = charged / static_cast<double>(state.iterations());
  state.counters["x_charged"] = seconds / charged;
  g_realistic = seconds / charged;
}
BENCHMARK(BM_UpdateRealistic)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  for (int i : {kNor64, kNorDefault}) {
    if (g_ratio[i] > 0) {
      std::printf("update %s: %.2f x dd + cmp of the same bytes (goal: at most %.0f)\n", kCases[i].label,
                  g_ratio[i], kUpdateGoal);
    }
  }
  if (g_ratio[kNand] > 0) {
    std::printf("update %s: %.2f x dd + cmp of the same bytes (its goal is against NOR: bench_nand)\n",
                kCases[kNand].label, g_ratio[kNand]);
  }
  if (BenchHeapPeak() > 0) {
    std::printf("update %s: peak heap %zu KiB (goal: at most %zu)\n", kCases[kHeap60].label, BenchHeapPeak() / 1024,
                kHeapGoalKiB);
  }
  if (g_realistic > 0) {
    std::printf("update %s: %.3f x the time the chips were busy (goal: at most %.2f)\n", kCases[kRealistic].label,
                g_realistic, kRealisticGoal);
  }
  return status;
}
