// The PXA3xx multi-function pin registers (the 4 KB page at physical
// 0x40E10000): one 32-bit register per pin whose low three bits select the
// pin's function. Where a pin's register lies differs by processor.
//
// Not modelled: everything in a register but its function field (pulls,
// drive strength, sleep and edge settings are kept and read back, nothing
// more). Each process powers its own registers up, every one at
// kMfpResetValue.
#pragma once

#include <cstdint>

#include "module/phys_bus.h"

constexpr uint32_t kMfpPhysBase = 0x40E10000;
constexpr uint32_t kMfpBusBytes = 0x1000;
constexpr uint32_t kMfpRegisters = kMfpBusBytes / 4;

constexpr uint32_t kMfpFunctionMask = 0x7;
// A pin's function 0 is its general-purpose pin (for the pins the CPLD's
// wires use; a few others have it elsewhere).
constexpr uint32_t kMfpFunctionGpio = 0;
// Every pin comes up on function 1, so a program that never selects the
// GPIO function does not reach the pin.
constexpr uint32_t kMfpResetValue = 0x00000001;

struct MfpBlock {
  uint32_t regs[kMfpRegisters] = {};
  void (*changed)(void* context) = nullptr;  // told after every write
  void* context = nullptr;
  uint64_t strayAccesses = 0;  // unaligned offsets
};

void MfpPowerUp(MfpBlock* mfp);

// The byte offset in the page of `pin`'s register on a processor of part
// code 2, 8 or 9; false for another part code or a pin the processor lacks.
bool MfpRegisterOffset(uint32_t partCode, uint32_t pin, uint32_t* offset);

inline uint32_t MfpFunctionAt(const MfpBlock& mfp, uint32_t offset) {
  return mfp.regs[(offset / 4) % kMfpRegisters] & kMfpFunctionMask;
}

uint32_t MfpRead(MfpBlock* mfp, uint32_t offset);
void MfpWrite(MfpBlock* mfp, uint32_t offset, uint32_t value);

// The bus side: register at kMfpPhysBase with this table and an MfpBlock.
const BusDeviceOps* MfpBusOps();
