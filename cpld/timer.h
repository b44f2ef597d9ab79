// The processor's OS timer (OSCR0, 3.25 MHz) for waits finer than the
// system's millisecond tick: the JTAG port's waits in Run-Test/Idle and the
// settle wait after programming. The counter's window is mapped on first use
// and kept for the life of the process.
#pragma once

#include <cstdint>

constexpr uint32_t TIMER_COUNTS_PER_SECOND = 3250000;

// The counts that last at least `microseconds` (rounded up).
uint64_t TimerCountsFor(uint64_t microseconds);

// Waits at least `microseconds`: asleep for all but the last millisecond or
// two, then spinning on the counter to the end.
void TimerWaitMicroseconds(uint32_t microseconds);

// Spins until the counter has moved on `counts` (below 2^31, so its wrap
// does no harm).
void TimerSpin(uint32_t counts);

// Both are never shorter than asked: without the counter's window they
// sleep the time rounded up to whole milliseconds, and a counter that stands
// still is given up on only once the tick count says the time has passed.

// Forgets the window (tests only).
void TimerResetForTests();
