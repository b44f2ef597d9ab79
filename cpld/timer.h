// The processor's OS timer (OSCR0, 3.25 MHz) for waits finer than the
// system's millisecond tick: the JTAG port's waits in Run-Test/Idle and the
// settle wait after programming. The counter's window is mapped on first use
// and kept for the life of the process.
#pragma once

#include <cstdint>

constexpr uint32_t TIMER_COUNTS_PER_SECOND = 3250000;

// The counts that last at least `microseconds` (rounded up).
uint64_t TimerCountsFor(uint64_t microseconds);

// Spins until the counter has moved on `counts` (below 2^31, so its wrap
// does no harm). Never shorter: without the counter's window it sleeps the
// time rounded up to whole milliseconds, and a counter that stands still is
// given up on only once the tick count says that time has passed.
void TimerSpin(uint32_t counts);

// Forgets the window (tests only).
void TimerResetForTests();
