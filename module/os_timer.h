// The processor's OS timer (physical 0x40A00000): the free-running counter
// OSCR0 at 3.25 MHz, running with the host's monotonic clock.
//
// Not modelled: the match registers, status, watchdog and interrupt enable
// registers are kept and read back but never match, interrupt or reset the
// module; the other counters of the PXA27x and PXA3xx timers read 0.
#pragma once

#include <cstdint>

#include "module/phys_bus.h"

constexpr uint32_t kOsTimerPhysBase = 0x40A00000;
constexpr uint32_t kOsTimerBusBytes = 0x1000;

constexpr uint32_t kOsTimerMatch0 = 0x00;  // OSMR0-3 at 0x00-0x0C
constexpr uint32_t kOsTimerCounter = 0x10; // OSCR0
constexpr uint32_t kOsTimerStatus = 0x14;  // OSSR
constexpr uint32_t kOsTimerWatchdog = 0x18;   // OWER
constexpr uint32_t kOsTimerInterrupts = 0x1C; // OIER
constexpr uint32_t kOsTimerHz = 3250000;

struct OsTimer {
  // Counter = host ticks + offset; a write to the counter moves the offset.
  uint32_t offset = 0;
  uint32_t kept[(kOsTimerInterrupts - kOsTimerMatch0) / 4 + 1] = {};
  uint64_t strayAccesses = 0;
};

// The counter starts at 0 when the timer powers up.
void OsTimerPowerUp(OsTimer* timer);
// Counts of the 3.25 MHz clock since an arbitrary point of the host's monotonic clock.
uint64_t OsTimerHostTicks();

uint32_t OsTimerRead(OsTimer* timer, uint32_t offset);
void OsTimerWrite(OsTimer* timer, uint32_t offset, uint32_t value);

// The bus side: register at kOsTimerPhysBase with this table and an OsTimer.
const BusDeviceOps* OsTimerBusOps();
