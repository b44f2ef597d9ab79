// Image files on the fast device model: validating a 32 MB image against
// only reading the same file, and updating the flash against the bare
// operation table doing the same erase, write and read-back. The heap the
// library holds while it works is sampled from inside its progress
// callbacks, for images of 8 and 32 MB: it must stay at the work buffer
// whatever the image's size (records out of address order add a list of
// their ranges, 8 bytes a gap).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/bench_module.h"
#include "flash/flash_layer.h"
#include "fwlib/bin_file.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/update.h"
#include "fwlib/work_buffer.h"
#include "module/bin_image_builder.h"
#include "platform/files.h"

namespace {

constexpr uint32_t kMB = 1u << 20;
constexpr uint32_t kRecordBytes = 0x10000;  // as image tools cut them
constexpr uint32_t kSmallRecordBytes = 0x200;  // many records, for the overlap check
constexpr uint32_t kOsLinked = 0x80200000;  // lands at the OS base, 0x80000
constexpr uint32_t kUpdateBytes = 16 * kMB; // what fits between the OS base and the registry
constexpr uint32_t kChunk = 2 * kMB;        // the library's work buffer
constexpr uint32_t kFlashBytes = 32 * kMB;  // the default board's

struct BenchModule {
  std::string dir;
  bool ready = false;
};

std::string ImageFileName(uint32_t megabytes, bool reversed) {
  return "bench" + std::to_string(megabytes) + (reversed ? "r" : "") + ".bin";
}

std::u16string ImageName(uint32_t megabytes, bool reversed = false) {
  std::string name = ImageFileName(megabytes, reversed);
  return std::u16string(kModuleImagesPath) + std::u16string(name.begin(), name.end());
}

// Images that fit land at the OS base; one of the whole flash is made of
// flash offsets. `reversed`: small records in falling address order.
bool PlaceImage(const std::string& dir, uint32_t bytes, bool reversed = false) {
  BinImageSpec spec;
  spec.bin.imageStart = bytes <= kUpdateBytes ? kOsLinked : 0;
  spec.bin.imageLength = bytes;
  spec.bin.records = BinRecordsFromBlob(spec.bin.imageStart, BinFillerBytes(bytes, bytes),
                                        reversed ? kSmallRecordBytes : kRecordBytes);
  if (reversed) std::reverse(spec.bin.records.begin(), spec.bin.records.end());
  std::vector<uint8_t> file;
  std::string error;
  std::string name = ImageFileName(bytes / kMB, reversed);
  bool ok = BinImageBuild(spec, &file, &error) && BinImageStore(dir, name, file, &error);
  if (!ok) std::fprintf(stderr, "bench image: %s\n", error.c_str());
  return ok;
}

BenchModule& TheModule() {
  static BenchModule module = [] {
    BenchModule m;
    m.dir = BenchModuleAttach("image") ? BenchModuleDir() : "";
    m.ready = !m.dir.empty() && FWLInit() == 0 && PlaceImage(m.dir, 8 * kMB) && PlaceImage(m.dir, 16 * kMB) &&
              PlaceImage(m.dir, kFlashBytes) && PlaceImage(m.dir, kFlashBytes, true);
    return m;
  }();
  return module;
}

// Heap in use: the main arena's chunks and the blocks mapped on their own
// (the 2 MB work buffer is one of those).
size_t HeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

struct HeapWatch {
  size_t base = 0;
  size_t peak = 0;
};
HeapWatch g_heap;

void Sample() { g_heap.peak = std::max(g_heap.peak, HeapInUse() - std::min(HeapInUse(), g_heap.base)); }
int SampleBytes(uint32_t, uint32_t) {
  Sample();
  return 1;
}

void BM_Update(benchmark::State& state) {
  if (!TheModule().ready) return state.SkipWithError("no module");
  uint32_t megabytes = static_cast<uint32_t>(state.range(0));
  std::u16string path = ImageName(megabytes);
  g_heap = HeapWatch{HeapInUse(), 0};
  for (auto _ : state) {
    if (FWLSetBinFile(path.c_str(), nullptr, nullptr, 1) != 0 || FWLDoUpdate(nullptr, nullptr, SampleBytes) != 0) {
      return state.SkipWithError("update failed");
    }
    FWLCloseFile();
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * megabytes * kMB);
  state.counters["peak_heap_KiB"] = static_cast<double>(g_heap.peak) / 1024;
}
BENCHMARK(BM_Update)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

// The bare operation table: erase, write and read back the same range in
// 2 MB pieces, without files, checksums or comparisons.
void BM_FlashOps(benchmark::State& state) {
  if (!TheModule().ready) return state.SkipWithError("no module");
  uint32_t bytes = static_cast<uint32_t>(state.range(0)) * kMB;
  constexpr uint32_t kOsBase = 0x80000;
  std::vector<uint8_t> source = BinFillerBytes(kChunk, 1);
  std::vector<uint32_t> back(kChunk / 4);
  const auto* words = reinterpret_cast<const uint32_t*>(source.data());
  for (auto _ : state) {
    FlashLock(FLASH_WAIT_FOREVER);
    bool ok = FlashOps.Erase(kOsBase, bytes) != 0;
    for (uint32_t at = 0; ok && at < bytes; at += kChunk) ok = FlashOps.Write(words, kOsBase + at, kChunk) != 0;
    for (uint32_t at = 0; ok && at < bytes; at += kChunk) ok = FlashOps.Read(back.data(), kOsBase + at, kChunk) != 0;
    FlashUnlock();
    if (!ok) return state.SkipWithError("flash operation failed");
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * bytes);
}
BENCHMARK(BM_FlashOps)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv); }
