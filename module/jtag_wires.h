// The four wires between the processor's pins and the CPLD's JTAG port on
// the NAND boards. A pin drives its wire only while its multi-function
// register selects the GPIO function and the pin is an output; an undriven
// wire floats up to the CPLD's pull-up (high). The processor sees TDO while
// the TDO pin is a GPIO input; what drives it is the CPLD (high while the
// CPLD does not drive it), or a fault that drives it from outside.
#pragma once

#include <cstdint>
#include <string>

#include "module/gpio_model.h"
#include "module/jtag_tap.h"
#include "module/mfp_model.h"

struct JtagPins {
  uint32_t tck = 0;
  uint32_t tms = 0;
  uint32_t tdi = 0;
  uint32_t tdo = 0;
};

// The pins of a processor part code (2, 8 or 9); false for any other.
bool JtagPinsFor(uint32_t partCode, JtagPins* pins);

// faults.tdo_stuck: the TDO line left to the CPLD, or held high or low from outside.
enum class TdoStuck : uint8_t { None, High, Low };
bool TdoStuckParse(const std::string& text, TdoStuck* stuck);

struct JtagWires {
  GpioBlock* gpio = nullptr;
  MfpBlock* mfp = nullptr;
  JtagTap* tap = nullptr;  // null: no CPLD on the wires
  TdoStuck stuck = TdoStuck::None;
  JtagPins pins;
  // Byte offsets of the pins' multi-function registers.
  uint32_t tckMfp = 0, tmsMfp = 0, tdiMfp = 0, tdoMfp = 0;
};

// Wires the pins of `partCode` to `tap` (may be null) and watches the GPIO
// and multi-function blocks so every pin change reaches the TAP at once.
// False when the part code has no JTAG pins.
bool JtagWiresConnect(JtagWires* wires, GpioBlock* gpio, MfpBlock* mfp, uint32_t partCode, JtagTap* tap,
                      TdoStuck stuck);
void JtagWiresDisconnect(JtagWires* wires);

// The TDO line's level given the CPLD's (which floats high when there is none).
inline bool JtagTdoLine(TdoStuck stuck, const JtagTap* tap) {
  if (stuck != TdoStuck::None) return stuck == TdoStuck::High;
  return tap == nullptr || tap->tdo;
}

// Carries the pins' current levels to the TAP and TDO back; the watches call it.
void JtagWiresUpdate(JtagWires* wires);
