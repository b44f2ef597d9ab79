#include "bench/support/bench_module.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "fwlib/library_state.h"
#include "module/module_config.h"
#include "module/module_dir.h"
#include "platform/platform.h"
#include "tests/support/program_layers.h"

namespace {

constexpr const char* kBoard = "nor";

struct BenchModuleState {
  std::string dir;
  std::map<std::string, std::string> boards;  // module name and settings -> its folder
};

BenchModuleState g_bench;

bool MakeModule(const char* name, const char* board, const std::vector<std::string>& settings) {
  std::string templ = std::string("/tmp/fwbench-") + name + ".XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr) {
    std::fprintf(stderr, "bench module: cannot make %s\n", templ.c_str());
    return false;
  }
  g_bench.dir = templ;
  std::string error;
  ModuleConfig config;
  bool made = ModuleConfigForBoard(board, &config);
  for (const std::string& setting : settings) made = made && ModuleConfigAssign(&config, setting, &error);
  if (made && ModuleCreateFrom(g_bench.dir, config, false, &error) && PlatformAttachModule(g_bench.dir, false, &error)) {
    return true;
  }
  std::fprintf(stderr, "bench module: %s\n", error.c_str());
  return false;
}

}  // namespace

bool BenchModuleAttach(const char* name, const std::vector<std::string>& settings) {
  return MakeModule(name, kBoard, settings);
}

bool BenchModuleUse(const char* board, const std::vector<std::string>& settings) {
  return BenchModuleUseAs(board, board, settings);
}

bool BenchModuleUseAs(const char* name, const char* board, const std::vector<std::string>& settings) {
  ResetProgramLayersForTests();
  PlatformDetachModule();
  std::string key = name;
  for (const std::string& setting : settings) key += " " + setting;
  auto known = g_bench.boards.find(key);
  if (known == g_bench.boards.end()) {
    if (!MakeModule(name, board, settings)) return false;
    g_bench.boards[key] = g_bench.dir;
    return true;
  }
  g_bench.dir = known->second;
  std::string error;
  if (PlatformAttachModule(g_bench.dir, false, &error)) return true;
  std::fprintf(stderr, "bench module: %s\n", error.c_str());
  return false;
}

const std::string& BenchModuleDir() { return g_bench.dir; }

int BenchMain(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  FWLCloseFile();
  PlatformDetachModule();
  if (!g_bench.dir.empty()) std::filesystem::remove_all(g_bench.dir);
  for (const auto& [board, dir] : g_bench.boards) std::filesystem::remove_all(dir);
  return 0;
}
