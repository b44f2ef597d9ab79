// Single processor pins: drive, read, direction and alternate function. Two
// register layouts: the PXA3xx one (a multi-function register per pin) on
// part codes 2, 8 and 9, the PXA27x one on every other part code. The
// register blocks are mapped on first use and kept for the life of the
// process.
#pragma once

#include <cstdint>

constexpr uint32_t GPIO_FUNCTION_GPIO = 0;  // function 0: the pin is a plain GPIO on most pins

// Every operation first maps the register blocks if that has not happened
// yet, and ignores a pin not below the pin count (GpioGetLevel returns 0).
// While the blocks cannot be mapped every operation does nothing.
void GpioSetLevel(uint32_t pin, uint32_t level);
uint32_t GpioGetLevel(uint32_t pin);
void GpioSetDirection(uint32_t pin, uint32_t output);
// Selects the alternate function, then the direction where the function is
// the pin's GPIO function.
void GpioSetFunction(uint32_t pin, uint32_t function, uint32_t output);

// The level registers of one pin, for a caller that clocks it at speed
// (the JTAG port): a write of `bit` to `set` drives it high, to `clear` low;
// `level` reads it. False, with nothing filled, for a pin the operations
// above would ignore.
struct GpioPinRegisters {
  volatile uint32_t* set;
  volatile uint32_t* clear;
  volatile uint32_t* level;
  uint32_t bit;
};
bool GpioPinRegistersOf(uint32_t pin, GpioPinRegisters* registers);

// True when the register blocks are mapped (mapping them if needed); a null
// window from the kernel leaves this false and the pins untouched.
bool GpioReady();
// The part code read when the blocks were mapped (0 before).
uint32_t GpioPartCode();

// Back to the state at process start (tests only; the windows are released).
void GpioResetForTests();
