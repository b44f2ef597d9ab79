#include "module/jtag_tap.h"

#include <algorithm>

namespace {

using S = TapState;

// Next state for TMS 0 and TMS 1, indexed by state.
constexpr TapState kNext[kTapStates][2] = {
    {S::RunTestIdle, S::TestLogicReset},  // Test-Logic-Reset
    {S::RunTestIdle, S::SelectDrScan},    // Run-Test/Idle
    {S::CaptureDr, S::SelectIrScan},      // Select-DR-Scan
    {S::ShiftDr, S::Exit1Dr},             // Capture-DR
    {S::ShiftDr, S::Exit1Dr},             // Shift-DR
    {S::PauseDr, S::UpdateDr},            // Exit1-DR
    {S::PauseDr, S::Exit2Dr},             // Pause-DR
    {S::ShiftDr, S::UpdateDr},            // Exit2-DR
    {S::RunTestIdle, S::SelectDrScan},    // Update-DR
    {S::CaptureIr, S::TestLogicReset},    // Select-IR-Scan
    {S::ShiftIr, S::Exit1Ir},             // Capture-IR
    {S::ShiftIr, S::Exit1Ir},             // Shift-IR
    {S::PauseIr, S::UpdateIr},            // Exit1-IR
    {S::PauseIr, S::Exit2Ir},             // Pause-IR
    {S::ShiftIr, S::UpdateIr},            // Exit2-IR
    {S::RunTestIdle, S::SelectDrScan},    // Update-IR
};

constexpr uint32_t kAllOnes32 = 0xFFFFFFFF;

uint32_t Usercode(const JtagTap* tap) {
  return tap->ops != nullptr && tap->ops->usercode != nullptr ? tap->ops->usercode(tap->device) : kAllOnes32;
}

// The data register's length for the latched instruction.
uint32_t DrLength(JtagTap* tap) {
  uint32_t bits = 0;
  tap->deviceOwns = false;
  if (tap->instruction == kTapInstrBypass) return kTapBypassBits;
  if (tap->ops != nullptr && tap->ops->select != nullptr && tap->ops->select(tap->device, tap->instruction, &bits)) {
    tap->deviceOwns = true;
    return bits;
  }
  if (tap->instruction == kTapInstrIdcode) return kTapIdcodeBits;
  if (tap->instruction == kTapInstrUsercode) return kTapUsercodeBits;
  return kTapBypassBits;
}

void CaptureDr(JtagTap* tap) {
  TapRegisterReset(&tap->dr, DrLength(tap));
  if (tap->deviceOwns) {
    tap->ops->capture(tap->device, tap->instruction, &tap->dr);
    return;
  }
  // BYPASS captures 0; the identification registers their codes.
  if (tap->instruction == kTapInstrIdcode && tap->dr.length == kTapIdcodeBits) {
    TapRegisterSetValue(&tap->dr, 0, kTapIdcodeBits, tap->idcode);
  } else if (tap->instruction == kTapInstrUsercode && tap->dr.length == kTapUsercodeBits) {
    TapRegisterSetValue(&tap->dr, 0, kTapUsercodeBits, Usercode(tap));
  }
}

void LatchInstruction(JtagTap* tap, uint8_t instruction) {
  tap->instruction = instruction;
  if (tap->ops != nullptr && tap->ops->instruction != nullptr) tap->ops->instruction(tap->device, instruction);
}

void Shift(TapRegister* reg, bool tdi) {
  reg->bits[reg->head] = tdi ? 1 : 0;
  reg->head = static_cast<uint16_t>(reg->head + 1 == reg->length ? 0 : reg->head + 1);
}

void Rising(JtagTap* tap, bool tms, bool tdi) {
  if (tap->ops != nullptr && tap->ops->rising != nullptr) tap->ops->rising(tap->device, tap->risingEdges);
  tap->risingEdges++;
  switch (tap->state) {
    case S::CaptureDr: CaptureDr(tap); break;
    case S::ShiftDr: Shift(&tap->dr, tdi); break;
    case S::CaptureIr:
      TapRegisterReset(&tap->ir, kTapIrBits);
      TapRegisterSetValue(&tap->ir, 0, kTapIrBits, kTapIrCapture);
      break;
    case S::ShiftIr: Shift(&tap->ir, tdi); break;
    default: break;
  }
  tap->state = kNext[static_cast<uint32_t>(tap->state)][tms ? 1 : 0];
}

void Falling(JtagTap* tap) {
  switch (tap->state) {
    case S::TestLogicReset:
      if (tap->instruction != kTapInstrIdcode) LatchInstruction(tap, kTapInstrIdcode);
      break;
    case S::UpdateIr:
      LatchInstruction(tap, static_cast<uint8_t>(TapRegisterValue(tap->ir, 0, kTapIrBits)));
      break;
    case S::UpdateDr:
      if (tap->deviceOwns) tap->ops->update(tap->device, tap->instruction, tap->dr);
      break;
    default: break;
  }
  // TDO is driven only while a register shifts; otherwise the line floats
  // up to its pull-up.
  if (tap->state == S::ShiftDr) tap->tdo = tap->dr.bits[tap->dr.head] != 0;
  else if (tap->state == S::ShiftIr) tap->tdo = tap->ir.bits[tap->ir.head] != 0;
  else tap->tdo = true;
}

}  // namespace

TapState TapNextState(TapState state, bool tms) { return kNext[static_cast<uint32_t>(state) % kTapStates][tms ? 1 : 0]; }

void TapRegisterReset(TapRegister* reg, uint32_t length) {
  uint32_t bits = std::clamp<uint32_t>(length, 1, kTapMaxRegisterBits);
  std::fill(reg->bits, reg->bits + bits, uint8_t{0});
  reg->length = static_cast<uint16_t>(bits);
  reg->head = 0;
}

bool TapRegisterBit(const TapRegister& reg, uint32_t position) {
  if (position >= reg.length) return false;
  uint32_t at = reg.head + position;
  return reg.bits[at >= reg.length ? at - reg.length : at] != 0;
}

void TapRegisterSetBit(TapRegister* reg, uint32_t position, bool value) {
  if (position >= reg->length) return;
  uint32_t at = reg->head + position;
  reg->bits[at >= reg->length ? at - reg->length : at] = value ? 1 : 0;
}

uint64_t TapRegisterValue(const TapRegister& reg, uint32_t first, uint32_t count) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < count && i < 64; i++) {
    if (TapRegisterBit(reg, first + i)) value |= uint64_t{1} << i;
  }
  return value;
}

void TapRegisterSetValue(TapRegister* reg, uint32_t first, uint32_t count, uint64_t value) {
  for (uint32_t i = 0; i < count && i < 64; i++) TapRegisterSetBit(reg, first + i, ((value >> i) & 1) != 0);
}

void JtagTapPowerUp(JtagTap* tap, uint32_t idcode, const JtagDeviceOps* ops, void* device) {
  *tap = JtagTap{};
  tap->idcode = idcode;
  tap->ops = ops;
  tap->device = device;
  TapRegisterReset(&tap->ir, kTapIrBits);
  TapRegisterReset(&tap->dr, kTapIdcodeBits);
  LatchInstruction(tap, kTapInstrIdcode);
}

void JtagTapClock(JtagTap* tap, bool tck, bool tms, bool tdi) {
  if (tck == tap->tck) return;
  tap->tck = tck;
  if (tck) Rising(tap, tms, tdi);
  else Falling(tap);
}
