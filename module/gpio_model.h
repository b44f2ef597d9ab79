// The processor's general-purpose pins as their register block (physical
// 0x40E00000) shows them: levels, set and clear level, direction, and the
// alternate function registers of the PXA27x layout or the set and clear
// direction registers of the PXA3xx layout.
//
// Not modelled: edge detection (the edge enable and edge status registers,
// like any offset without a register, read 0, ignore writes and are counted
// as stray accesses), interrupts, sleep
// levels, and the pins' electrical side beyond one rule: an output reads
// what it drives, an input what something outside drives on it, else its
// pull-up (high). Each process powers its own pins up: every pin an input,
// every output latch low, every alternate function 0.
#pragma once

#include <cstdint>

#include "module/phys_bus.h"

constexpr uint32_t kGpioPhysBase = 0x40E00000;
constexpr uint32_t kGpioBusBytes = 0x1000;

constexpr uint32_t kGpioBanks = 4;
constexpr uint32_t kGpioBankPins = 32;
// Pins 128 and up reach the level and direction bits of pin - 128.
constexpr uint32_t kGpioBitPins = kGpioBanks * kGpioBankPins;

// Register groups (byte offsets of bank 0). Banks 1 and 2 follow 4 and 8
// bytes on; bank 3 lies at 0x100 on from bank 0.
constexpr uint32_t kGpioLevel = 0x00;
constexpr uint32_t kGpioDirection = 0x0C;
constexpr uint32_t kGpioSetLevel = 0x18;
constexpr uint32_t kGpioClearLevel = 0x24;
constexpr uint32_t kGpioBank3Offset = 0x100;
// PXA27x: two bits per pin, sixteen pins a register.
constexpr uint32_t kGpioAltFunction = 0x54;
constexpr uint32_t kGpioAltFunctionRegisters = 8;
// PXA3xx: bank b at 4 * b.
constexpr uint32_t kGpioSetDirection = 0x400;
constexpr uint32_t kGpioClearDirection = 0x420;

enum class GpioLayout : uint8_t { Pxa27x, Pxa3xx };

// The layout of a processor part code: PXA3xx for 2, 8 and 9.
GpioLayout GpioLayoutFor(uint32_t partCode);

// Told after every write that may have changed what a pin drives.
struct GpioWatch {
  void (*changed)(void* context) = nullptr;
  void* context = nullptr;
};

struct GpioBlock {
  GpioLayout layout = GpioLayout::Pxa27x;
  uint32_t latch[kGpioBanks] = {};      // output levels
  uint32_t output[kGpioBanks] = {};     // direction: bit set = output
  uint32_t altFunction[kGpioAltFunctionRegisters] = {};
  // Pins something outside drives while they are inputs, and the levels it drives.
  uint32_t driven[kGpioBanks] = {};
  uint32_t drivenLevel[kGpioBanks] = {};
  GpioWatch watch;
  uint64_t strayAccesses = 0;  // offsets that hold no register of this layout
};

void GpioPowerUp(GpioBlock* gpio, GpioLayout layout);

// Bank and bit of a pin (pins 128 and up fold onto 0-127).
inline uint32_t GpioBank(uint32_t pin) { return (pin % kGpioBitPins) / kGpioBankPins; }
inline uint32_t GpioBit(uint32_t pin) { return uint32_t{1} << (pin % kGpioBankPins); }

// The levels of a bank as the level register reads them.
inline uint32_t GpioBankLevels(const GpioBlock& g, uint32_t bank) {
  uint32_t outside = (g.driven[bank] & g.drivenLevel[bank]) | ~g.driven[bank];
  return (g.latch[bank] & g.output[bank]) | (outside & ~g.output[bank]);
}
inline bool GpioIsOutput(const GpioBlock& g, uint32_t pin) { return (g.output[GpioBank(pin)] & GpioBit(pin)) != 0; }
inline bool GpioDrives(const GpioBlock& g, uint32_t pin) { return (g.latch[GpioBank(pin)] & GpioBit(pin)) != 0; }

// Something outside drives `pin` (while it is an input) at `level`, or lets go of it.
void GpioDriveFromOutside(GpioBlock* gpio, uint32_t pin, bool level);
void GpioReleaseFromOutside(GpioBlock* gpio, uint32_t pin);

uint32_t GpioRead(GpioBlock* gpio, uint32_t offset);
void GpioWrite(GpioBlock* gpio, uint32_t offset, uint32_t value);

// The bus side: register at kGpioPhysBase with this table and a GpioBlock.
const BusDeviceOps* GpioBusOps();
