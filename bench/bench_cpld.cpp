// The CPLD's JTAG port on the NAND board's simulated GPIO: TCK cycles per
// second (one TMS write and two TCK writes each), and programming the
// light-LED design through CpldProgram with its erase, program and verify.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/support/bench_module.h"
#include "cpld/cpld.h"
#include "cpld/jtag.h"
#include "flash/hardware.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t kClocksPerRun = 100000;
constexpr double kGoalTckPerSecond = 10e6;
constexpr uint32_t kGpioSetLevel = 0x40E00018;  // bank 0: no JTAG pin there on part code 9
constexpr uint32_t kWritesPerClock = 3;
constexpr char kLightLed[] = FW_SHARED_TESTDATA "/xsvf/xc2c64a-light-led.xsvf";

double g_tckPerSecond = 0;
double g_writesPerSecond = 0;

std::vector<uint8_t> ReadXsvf(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void BM_TckCycles(benchmark::State& state) {
  if (!BenchModuleUse("nand") || !JtagOpen()) return state.SkipWithError("no JTAG port");
  uint64_t clocks = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (uint32_t i = 0; i < kClocksPerRun; i++) JtagTmsClock(i & 1);
    clocks += kClocksPerRun;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  JtagClose();
  g_tckPerSecond = static_cast<double>(clocks) / seconds;
  state.counters["tck_per_s"] = benchmark::Counter(static_cast<double>(clocks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TckCycles)->Unit(benchmark::kMillisecond)->UseRealTime();

// The platform's register accessor alone: the ceiling of the TCK rate is a
// third of this.
void BM_GpioRegisterWrites(benchmark::State& state) {
  if (!BenchModuleUse("nand")) return state.SkipWithError("no module");
  volatile uint32_t* reg = PhysMap(kGpioSetLevel);
  if (reg == nullptr) return state.SkipWithError("no GPIO window");
  uint64_t writes = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (uint32_t i = 0; i < kClocksPerRun; i++) WRITE_REGISTER_ULONG(reg, 0);
    writes += kClocksPerRun;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  PhysUnmap(reg);
  g_writesPerSecond = static_cast<double>(writes) / seconds;
  state.counters["writes_per_s"] = benchmark::Counter(static_cast<double>(writes), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GpioRegisterWrites)->Unit(benchmark::kMillisecond)->UseRealTime();

// The stream's waits are real sleeps here, as they are on the module.
void BM_ProgramLightLed(benchmark::State& state) {
  std::vector<uint8_t> stream = ReadXsvf(kLightLed);
  if (stream.empty()) return state.SkipWithError("no light-LED stream");
  if (!BenchModuleUse("nand")) return state.SkipWithError("no module");
  for (auto _ : state) {
    uint32_t init = CpldInit();
    uint32_t result = init == CPLD_OK ? CpldProgram(stream.data(), static_cast<uint32_t>(stream.size()), 1) : init;
    CpldRelease();
    if (result != CPLD_OK) return state.SkipWithError(("CPLD result " + std::to_string(result)).c_str());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_ProgramLightLed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  if (g_tckPerSecond > 0) {
    std::printf("TCK cycles: %.1f M/s (goal: at least %.0f M/s)\n", g_tckPerSecond / 1e6, kGoalTckPerSecond / 1e6);
  }
  if (g_writesPerSecond > 0) {
    std::printf("GPIO register writes: %.1f M/s, at most %.1f M TCK/s at %u writes per clock\n",
                g_writesPerSecond / 1e6, g_writesPerSecond / kWritesPerClock / 1e6, kWritesPerClock);
  }
  return status;
}
