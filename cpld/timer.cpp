#include "cpld/timer.h"

#include "flash/hardware.h"
#include "platform/clock.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t OSCR0_PHYS = 0x40A00010;
constexpr uint64_t MICROSECONDS_PER_SECOND = 1000000;
constexpr uint32_t MICROSECONDS_PER_MS = 1000;
constexpr uint32_t COUNTS_PER_MS = TIMER_COUNTS_PER_SECOND / 1000;
// A sleep wakes late by a fraction of a millisecond (more on a busy
// system): the last millisecond is spun, so the lateness is absorbed rather
// than added to every wait.
constexpr uint32_t SPUN_MS = 1;
// The tick count moves in whole milliseconds: a difference of n may be as
// little as n - 1 of real time.
constexpr uint32_t TICK_UNCERTAINTY_MS = 1;
// Counts the counter can move on without its wrap hiding it.
constexpr uint64_t COUNTS_WITHOUT_WRAP = 1ull << 31;

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

DWORD MillisecondsFor(uint64_t counts) { return static_cast<DWORD>((counts + COUNTS_PER_MS - 1) / COUNTS_PER_MS); }

// Spins until `counts` have passed since `from`, or, for a wait that began
// earlier, `total` since `began` (whichever comes first: the earlier start
// only ends the spin sooner when the sleep before it overslept).
void SpinFrom(volatile ULONG* counter, uint32_t from, uint32_t counts, uint32_t began, uint64_t total) {
  bool byTotal = total < COUNTS_WITHOUT_WRAP;
  DWORD guard = MillisecondsFor(counts) + TICK_UNCERTAINTY_MS;
  DWORD ticks = GetTickCount();
  for (;;) {
    uint32_t now = READ_REGISTER_ULONG(counter);
    if (now - from >= counts || (byTotal && now - began >= total)) return;
    if (GetTickCount() - ticks > guard) return;
  }
}

}  // namespace

uint64_t TimerCountsFor(uint64_t microseconds) {
  return (microseconds * TIMER_COUNTS_PER_SECOND + MICROSECONDS_PER_SECOND - 1) / MICROSECONDS_PER_SECOND;
}

void TimerWaitMicroseconds(uint32_t microseconds) {
  if (microseconds == 0) return;
  volatile ULONG* counter = Counter();
  if (counter == nullptr) {
    Sleep((microseconds + MICROSECONDS_PER_MS - 1) / MICROSECONDS_PER_MS);
    return;
  }
  uint32_t began = READ_REGISTER_ULONG(counter);
  uint32_t whole = microseconds / MICROSECONDS_PER_MS;
  DWORD asleep = whole > SPUN_MS ? whole - SPUN_MS : 0;
  if (asleep != 0) Sleep(asleep);
  // A sleep lasts at least what it was asked, so the rest after it is never
  // short; it also bounds the spin where sleeps are not real (tests).
  uint32_t rest = static_cast<uint32_t>(TimerCountsFor(microseconds - uint64_t{asleep} * MICROSECONDS_PER_MS));
  SpinFrom(counter, READ_REGISTER_ULONG(counter), rest, began, TimerCountsFor(microseconds));
}

void TimerSpin(uint32_t counts) {
  if (counts == 0) return;
  volatile ULONG* counter = Counter();
  if (counter == nullptr) {
    Sleep(MillisecondsFor(counts));
    return;
  }
  uint32_t now = READ_REGISTER_ULONG(counter);
  SpinFrom(counter, now, counts, now, counts);
}

void TimerResetForTests() {
  if (g_timer.counter != nullptr) PhysUnmap(g_timer.counter);
  g_timer = TimerState{};
}
