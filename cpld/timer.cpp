#include "cpld/timer.h"

#include "flash/hardware.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t OSCR0_PHYS = 0x40A00010;
constexpr uint64_t MICROSECONDS_PER_SECOND = 1000000;
constexpr uint32_t COUNTS_PER_MS = TIMER_COUNTS_PER_SECOND / 1000;
// The tick count moves in whole milliseconds: a difference of n may be as
// little as n - 1 of real time.
constexpr uint32_t TICK_UNCERTAINTY_MS = 1;

struct TimerState {
  bool mapped = false;
  volatile ULONG* counter = nullptr;
};

TimerState g_timer;

volatile ULONG* Counter() {
  if (!g_timer.mapped) {
    g_timer.counter = PhysMap(OSCR0_PHYS);
    // A null window is asked again next time, as the pins' blocks are.
    g_timer.mapped = g_timer.counter != nullptr;
  }
  return g_timer.counter;
}

DWORD MillisecondsFor(uint32_t counts) { return (counts + COUNTS_PER_MS - 1) / COUNTS_PER_MS; }

}  // namespace

uint64_t TimerCountsFor(uint64_t microseconds) {
  return (microseconds * TIMER_COUNTS_PER_SECOND + MICROSECONDS_PER_SECOND - 1) / MICROSECONDS_PER_SECOND;
}

void TimerSpin(uint32_t counts) {
  if (counts == 0) return;
  DWORD guard = MillisecondsFor(counts) + TICK_UNCERTAINTY_MS;
  volatile ULONG* counter = Counter();
  if (counter == nullptr) {
    Sleep(MillisecondsFor(counts));
    return;
  }
  uint32_t start = READ_REGISTER_ULONG(counter);
  DWORD began = GetTickCount();
  while (READ_REGISTER_ULONG(counter) - start < counts && GetTickCount() - began <= guard) {
  }
}

void TimerResetForTests() {
  if (g_timer.counter != nullptr) PhysUnmap(g_timer.counter);
  g_timer = TimerState{};
}
