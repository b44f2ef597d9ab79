// Time as the module's programs see it.
#pragma once

#include "platform/types.h"

// Suspends the calling thread for `ms` milliseconds; 0 only yields.
void Sleep(DWORD ms);

// Milliseconds of a monotonic clock, in 32 bits: it wraps after about 49.7
// days, so callers compare with unsigned differences.
DWORD GetTickCount();

// Tests of long time-outs: while set, Sleep returns at once and moves the tick
// count on by the time it was asked to wait. Clearing it drops the skipped time.
void ClockSkipSleepsForTests(bool skip);
