// Erase, write and read back the whole 32 MB NOR pair through the program's
// operation table on the fast device model, against plain memory copies of
// the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/support/bench_module.h"
#include "flash/flash_layer.h"

namespace {

constexpr uint32_t kFlashBytes = 32u << 20;
constexpr uint32_t kChunk = 2u << 20;  // the library's work buffer

struct BenchModule {
  bool ready = false;
};

BenchModule& TheModule() {
  static BenchModule module = [] {
    BenchModule m;
    m.ready = BenchModuleAttach("flash") && FlashInit() == FLASH_TYPE_NOR && FlashSize == kFlashBytes;
    return m;
  }();
  return module;
}

std::vector<uint32_t> Pattern() {
  std::vector<uint32_t> words(kChunk / 4);
  for (size_t i = 0; i < words.size(); i++) words[i] = static_cast<uint32_t>(i * 2654435761u);
  return words;
}

void BM_FlashOpsEraseWriteRead32MB(benchmark::State& state) {
  if (!TheModule().ready) {
    state.SkipWithError("no module");
    return;
  }
  std::vector<uint32_t> source = Pattern(), back(kChunk / 4);
  for (auto _ : state) {
    FlashLock(FLASH_WAIT_FOREVER);
    bool ok = FlashOps.Erase(0, kFlashBytes) != 0;
    for (uint32_t at = 0; ok && at < kFlashBytes; at += kChunk) ok = FlashOps.Write(source.data(), at, kChunk) != 0;
    for (uint32_t at = 0; ok && at < kFlashBytes; at += kChunk) ok = FlashOps.Read(back.data(), at, kChunk) != 0;
    FlashUnlock();
    if (!ok || back != source) state.SkipWithError("flash operation failed");
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * kFlashBytes * 3);
}
BENCHMARK(BM_FlashOpsEraseWriteRead32MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same three passes over 32 MB as plain memory operations.
void BM_MemoryCopy32MB(benchmark::State& state) {
  std::vector<uint8_t> flash(kFlashBytes);
  std::vector<uint32_t> source = Pattern(), back(kChunk / 4);
  for (auto _ : state) {
    std::memset(flash.data(), 0xFF, flash.size());
    for (uint32_t at = 0; at < kFlashBytes; at += kChunk) std::memcpy(flash.data() + at, source.data(), kChunk);
    for (uint32_t at = 0; at < kFlashBytes; at += kChunk) std::memcpy(back.data(), flash.data() + at, kChunk);
    benchmark::DoNotOptimize(back.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * kFlashBytes * 3);
}
BENCHMARK(BM_MemoryCopy32MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) { return BenchMain(argc, argv); }
