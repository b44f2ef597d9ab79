// Typical datasheet times of the NAND chips: how long the chip stays busy
// in realistic timing, and what the power-cut fault counts in either timing.
#pragma once

#include <cstdint>

constexpr uint32_t kNandReadUs = 25;        // tR: array to page register
constexpr uint32_t kNandProgramUs = 200;    // tPROG
constexpr uint32_t kNandEraseUs = 2000;     // tBERS
constexpr uint32_t kNandResetUs = 5;        // tRST of an idle chip

// The controller's timing registers hold cycle counts minus one of its clock.
constexpr uint32_t kNandClockMhzFast = 156;  // processors with part code 8 or 9
constexpr uint32_t kNandClockMhz = 104;      // the others
// The shortest read and write enable pulses every supported chip takes; a
// controller set up shorter would sample or drive data the chip never saw.
constexpr uint32_t kNandMinPulseNs = 10;
