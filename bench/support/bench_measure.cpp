#include "bench/support/bench_measure.h"

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

extern char** environ;

namespace {

size_t g_heapBase = 0;
size_t g_heapPeak = 0;

}  // namespace

double BenchNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double BenchMedian(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

size_t BenchHeapInUse() {
  struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

void BenchHeapStart() {
  g_heapBase = BenchHeapInUse();
  g_heapPeak = 0;
}

int BenchHeapSample(uint32_t, uint32_t) {
  size_t now = BenchHeapInUse();
  g_heapPeak = std::max(g_heapPeak, now - std::min(now, g_heapBase));
  return 1;
}

size_t BenchHeapPeak() { return g_heapPeak; }

bool BenchRun(const std::vector<std::string>& argv, int okStatus, const char* stdoutPath, const char* stderrPath) {
  std::vector<std::string> words = argv;
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (stdoutPath != nullptr) {
    ::posix_spawn_file_actions_addopen(&actions, 1, stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  if (stderrPath != nullptr) {
    ::posix_spawn_file_actions_addopen(&actions, 2, stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  pid_t pid = 0;
  int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == okStatus;
}

std::string BenchBuiltProgram(const char* name) {
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  // Benchmarks live in bench/ of the build tree, the programs at its top.
  return (self.parent_path().parent_path() / name).string();
}
