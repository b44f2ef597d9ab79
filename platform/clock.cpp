#include "platform/clock.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {
constexpr uint64_t kMsPerSecond = 1000;
constexpr uint64_t kNsPerMs = 1000000;

struct ClockState {
  std::atomic<bool> skipSleeps{false};
  std::atomic<uint64_t> skippedMs{0};  // time that sleeps pretended to pass
};
ClockState g_clock;
}  // namespace

void ClockSkipSleepsForTests(bool skip) {
  g_clock.skipSleeps = skip;
  if (!skip) g_clock.skippedMs = 0;
}

void Sleep(DWORD ms) {
  if (g_clock.skipSleeps) {
    g_clock.skippedMs += ms;
    return;
  }
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DWORD GetTickCount() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * kMsPerSecond + static_cast<uint64_t>(now.tv_nsec) / kNsPerMs +
                g_clock.skippedMs;
  // Keeping the low 32 bits is the wrap-around the module's counter has.
  return static_cast<DWORD>(ms);
}
