// Host times as the module's file times (100 ns units since 1601).
#pragma once

#include <time.h>

#include <cstdint>

// 0 for a time before 1601.
uint64_t FileTimeFromHost(const timespec& t);
