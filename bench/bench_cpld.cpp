// The CPLD's JTAG clock on the NAND board: single writes to the GPIO set
// and clear registers through the platform's register accessors, the same
// writes straight on the module's bus (the share of the pin, wire and TAP
// models alone), the program's own port (JtagTmsClock), programming the
// light-LED design through CpldProgram, and a whole `flashwright /u` of it
// against OpenOCD playing the same file through `fwmodule jtag-server`.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/support/bench_measure.h"
#include "bench/support/bench_module.h"
#include "cpld/cpld.h"
#include "cpld/jtag.h"
#include "flash/hardware.h"
#include "module/bin_image_builder.h"
#include "module/gpio_model.h"
#include "module/jtag_wires.h"
#include "module/mfp_model.h"
#include "platform/hardware_link.h"
#include "platform/memory.h"
#include "tests/support/jtag_server_process.h"

namespace {

constexpr uint32_t kCyclesPerRun = 1u << 20;
constexpr uint32_t kWordBytes = 4;
constexpr double kGoalTckPerSecond = 10e6;
constexpr char kLightLed[] = FW_SHARED_TESTDATA "/xsvf/xc2c64a-light-led.xsvf";

constexpr double kGoalOpenocdRatio = 1.0;
constexpr char kImageName[] = "light-led.bin";

double g_tckPerSecond = 0;
double g_openocdRatio = 0;
double g_openocdSeconds = 0;
double g_programSeconds = 0;

struct Pins {
  JtagPins pins;
  volatile uint32_t* gpio = nullptr;
};

// Pins of the board's part code on their GPIO function, TCK, TMS and TDI
// driving, TDO read: as a program opening its JTAG port leaves them.
bool OpenPort(Pins* p) {
  constexpr uint32_t partCode = 9;  // the nand board's default
  if (!BenchModuleUse("nand") || !JtagPinsFor(partCode, &p->pins)) return false;
  p->gpio = PhysMap(kGpioPhysBase);
  volatile uint32_t* mfp = PhysMap(kMfpPhysBase);
  if (p->gpio == nullptr || mfp == nullptr) return false;
  for (uint32_t pin : {p->pins.tck, p->pins.tms, p->pins.tdi, p->pins.tdo}) {
    uint32_t offset = 0;
    if (!MfpRegisterOffset(partCode, pin, &offset)) return false;
    volatile uint32_t* reg = mfp + offset / kWordBytes;
    WRITE_REGISTER_ULONG(reg, READ_REGISTER_ULONG(reg) & ~kMfpFunctionMask);
    uint32_t direction = pin == p->pins.tdo ? kGpioClearDirection : kGpioSetDirection;
    WRITE_REGISTER_ULONG(p->gpio + (direction + kWordBytes * GpioBank(pin)) / kWordBytes, GpioBit(pin));
  }
  PhysUnmap(mfp);
  return true;
}

uint32_t BankOffset(uint32_t group, uint32_t pin) {
  uint32_t bank = GpioBank(pin);
  return group + (bank == 3 ? kGpioBank3Offset : kWordBytes * bank);
}

// Run-Test/Idle, TMS low: two writes a cycle.
void BM_TckCyclesAccessors(benchmark::State& state) {
  Pins p;
  if (!OpenPort(&p)) return state.SkipWithError("no NAND module");
  volatile uint32_t* set = p.gpio + BankOffset(kGpioSetLevel, p.pins.tck) / kWordBytes;
  volatile uint32_t* clear = p.gpio + BankOffset(kGpioClearLevel, p.pins.tck) / kWordBytes;
  uint32_t tck = GpioBit(p.pins.tck);
  uint64_t cycles = 0;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kCyclesPerRun; i++) {
      WRITE_REGISTER_ULONG(clear, tck);
      WRITE_REGISTER_ULONG(set, tck);
    }
    cycles += kCyclesPerRun;
  }
  PhysUnmap(p.gpio);
  state.counters["tck_per_s"] = benchmark::Counter(static_cast<double>(cycles), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TckCyclesAccessors)->Unit(benchmark::kMillisecond)->UseRealTime();

// Shift-DR: each bit sets TDI, drops TCK, reads TDO and raises TCK.
void BM_ShiftBitsAccessors(benchmark::State& state) {
  Pins p;
  if (!OpenPort(&p)) return state.SkipWithError("no NAND module");
  volatile uint32_t* level = p.gpio + BankOffset(kGpioLevel, p.pins.tdo) / kWordBytes;
  volatile uint32_t* set = p.gpio + BankOffset(kGpioSetLevel, p.pins.tck) / kWordBytes;
  volatile uint32_t* clear = p.gpio + BankOffset(kGpioClearLevel, p.pins.tck) / kWordBytes;
  uint32_t tck = GpioBit(p.pins.tck), tdi = GpioBit(p.pins.tdi), tms = GpioBit(p.pins.tms);
  // Run-Test/Idle, Select-DR-Scan, Capture-DR, Shift-DR.
  for (bool high : {false, true, false, false}) {
    WRITE_REGISTER_ULONG(high ? set : clear, tms);
    WRITE_REGISTER_ULONG(clear, tck);
    WRITE_REGISTER_ULONG(set, tck);
  }
  uint64_t bits = 0;
  uint32_t sum = 0;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kCyclesPerRun; i++) {
      WRITE_REGISTER_ULONG((i & 1) != 0 ? set : clear, tdi);
      WRITE_REGISTER_ULONG(clear, tck);
      sum += READ_REGISTER_ULONG(level);
      WRITE_REGISTER_ULONG(set, tck);
    }
    bits += kCyclesPerRun;
  }
  benchmark::DoNotOptimize(sum);
  PhysUnmap(p.gpio);
  state.counters["bits_per_s"] = benchmark::Counter(static_cast<double>(bits), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ShiftBitsAccessors)->Unit(benchmark::kMillisecond)->UseRealTime();

// The models' share: the same clock straight on the bus.
void BM_TckCyclesBus(benchmark::State& state) {
  Pins p;
  if (!OpenPort(&p)) return state.SkipWithError("no NAND module");
  PhysUnmap(p.gpio);
  PhysBus* bus = &PlatformHardware()->bus;
  uint32_t set = kGpioPhysBase + BankOffset(kGpioSetLevel, p.pins.tck);
  uint32_t clear = kGpioPhysBase + BankOffset(kGpioClearLevel, p.pins.tck);
  uint32_t tck = GpioBit(p.pins.tck);
  uint64_t cycles = 0;
  for (auto _ : state) {
    for (uint32_t i = 0; i < kCyclesPerRun; i++) {
      PhysBusWrite32(bus, clear, tck);
      PhysBusWrite32(bus, set, tck);
    }
    cycles += kCyclesPerRun;
  }
  state.counters["tck_per_s"] = benchmark::Counter(static_cast<double>(cycles), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TckCyclesBus)->Unit(benchmark::kMillisecond)->UseRealTime();

// The program's port: JtagTmsClock writes TMS, TCK low and TCK high.
void BM_JtagTmsClock(benchmark::State& state) {
  if (!BenchModuleUse("nand") || !JtagOpen()) return state.SkipWithError("no JTAG port");
  uint64_t clocks = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (uint32_t i = 0; i < kCyclesPerRun; i++) JtagTmsClock(0);
    clocks += kCyclesPerRun;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  JtagClose();
  g_tckPerSecond = static_cast<double>(clocks) / seconds;
  state.counters["tck_per_s"] = benchmark::Counter(static_cast<double>(clocks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_JtagTmsClock)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<uint8_t> ReadXsvf(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Erase, program and verify of the whole array; the stream's waits are
// real sleeps here, as they are on the module.
void BM_ProgramLightLed(benchmark::State& state) {
  std::vector<uint8_t> stream = ReadXsvf(kLightLed);
  if (stream.empty()) return state.SkipWithError("no light-LED stream");
  if (!BenchModuleUse("nand")) return state.SkipWithError("no module");
  double start = BenchNow();
  for (auto _ : state) {
    uint32_t init = CpldInit();
    uint32_t result = init == CPLD_OK ? CpldProgram(stream.data(), static_cast<uint32_t>(stream.size()), 1) : init;
    CpldRelease();
    if (result != CPLD_OK) return state.SkipWithError(("CPLD result " + std::to_string(result)).c_str());
  }
  state.SetBytesProcessed(int64_t{state.iterations()} * static_cast<int64_t>(stream.size()));
  g_programSeconds = (BenchNow() - start) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ProgramLightLed)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// The session ends with OpenOCD's shutdown, and the server with it.
bool StopServer(const JtagServerProcess& s) {
  int status = 0;
  if (s.port == 0) ::kill(s.pid, SIGTERM);
  return ::waitpid(s.pid, &status, 0) == s.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// OpenOCD as README.md shows it, its log thrown away.
bool OpenocdPlays(uint32_t port) {
  return BenchRun({"openocd", "-l", "/dev/null", "-c", "adapter driver remote_bitbang", "-c",
                   "remote_bitbang port " + std::to_string(port), "-c", "remote_bitbang host 127.0.0.1", "-c",
                   "transport select jtag", "-c", "jtag newtap cpld tap -irlen 8 -expected-id 0x06e5d093", "-c",
                   "init", "-c", std::string("xsvf cpld.tap ") + kLightLed, "-c", "shutdown"},
                  0, "/dev/null", "/dev/null");
}

// A whole `/u` of an image holding the design alone; it exits with 1 when
// the update succeeded.
bool FlashwrightUpdates(const std::string& dir) {
  return BenchRun({BenchBuiltProgram("flashwright"), "--module", dir, "--ui", "console", "/u",
                   std::string("\\USB HD\\IMAGES\\") + kImageName},
                  1, "/dev/null", "/dev/null");
}

// Wall time from process start to exit on both sides, each on a module of
// its own, taking turns so that neither always runs on the other's warm
// caches. Both wait what the file asks (1.12 s) and bit-bang the rest.
void BM_UpdateVsOpenocd(benchmark::State& state) {
  std::vector<uint8_t> stream = ReadXsvf(kLightLed);
  if (stream.empty()) return state.SkipWithError("no light-LED stream");
  if (!BenchModuleUseAs("openocd", "nand")) return state.SkipWithError("no module");
  std::string peerDir = BenchModuleDir();
  if (!BenchModuleUse("nand")) return state.SkipWithError("no module");
  std::string ownDir = BenchModuleDir();
  BinImageSpec spec;
  spec.hasBinPart = false;
  spec.hasCpld = true;
  spec.cpld.data = stream;
  std::vector<uint8_t> image;
  std::string error;
  if (!BinImageBuild(spec, &image, &error) || !BinImageStore(ownDir, kImageName, image, &error)) {
    return state.SkipWithError(error.c_str());
  }
  std::vector<double> ours, theirs;
  for (auto _ : state) {
    bool oursFirst = ours.size() % 2 == 0;
    for (int turn = 0; turn < 2; turn++) {
      if ((turn == 0) == oursFirst) {
        double start = BenchNow();
        if (!FlashwrightUpdates(ownDir)) return state.SkipWithError("flashwright /u failed");
        ours.push_back(BenchNow() - start);
      } else {
        JtagServerProcess server = StartJtagServer(BenchBuiltProgram("fwmodule"), peerDir);
        double start = BenchNow();
        bool played = server.port != 0 && OpenocdPlays(server.port);
        theirs.push_back(BenchNow() - start);
        if (!StopServer(server) || !played) return state.SkipWithError("openocd or the jtag-server failed");
      }
    }
    state.SetIterationTime(ours.back());
  }
  g_openocdRatio = BenchMedian(ours) / BenchMedian(theirs);
  g_openocdSeconds = BenchMedian(theirs);
  state.counters["ours_ms"] = BenchMedian(ours) * 1e3;
  state.counters["openocd_ms"] = BenchMedian(theirs) * 1e3;
  state.counters["x_openocd"] = g_openocdRatio;
}
BENCHMARK(BM_UpdateVsOpenocd)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  int status = BenchMain(argc, argv);
  if (g_openocdRatio > 0) {
    std::printf("flashwright /u of the light-LED design: %.2f x openocd xsvf through the jtag-server (goal: at most "
                "%.1f)\n",
                g_openocdRatio, kGoalOpenocdRatio);
  }
  if (g_openocdSeconds > 0 && g_programSeconds > 0) {
    std::printf("CpldProgram of the design in process: %.2f x openocd (%.0f ms and %.0f ms)\n",
                g_programSeconds / g_openocdSeconds, g_programSeconds * 1e3, g_openocdSeconds * 1e3);
  }
  if (g_tckPerSecond > 0) {
    std::printf("JtagTmsClock: %.1f M TCK/s (goal: at least %.0f M/s)\n", g_tckPerSecond / 1e6,
                kGoalTckPerSecond / 1e6);
  }
  return status;
}
