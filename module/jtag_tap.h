// A JTAG test access port as a device sees it on its four wires: the
// 16-state controller, the instruction register and the data registers every
// device has (BYPASS, IDCODE, USERCODE). Other instructions and their data
// registers belong to the device behind the port (JtagDeviceOps).
//
// Not modelled: the optional TRST line, boundary scan (SAMPLE/PRELOAD,
// EXTEST, HIGHZ and CLAMP select BYPASS), and any timing: an edge takes
// effect whenever it comes.
#pragma once

#include <cstdint>

// Controller states, numbered as the serial vector format numbers them.
enum class TapState : uint8_t {
  TestLogicReset = 0,
  RunTestIdle = 1,
  SelectDrScan = 2,
  CaptureDr = 3,
  ShiftDr = 4,
  Exit1Dr = 5,
  PauseDr = 6,
  Exit2Dr = 7,
  UpdateDr = 8,
  SelectIrScan = 9,
  CaptureIr = 10,
  ShiftIr = 11,
  Exit1Ir = 12,
  PauseIr = 13,
  Exit2Ir = 14,
  UpdateIr = 15,
};
constexpr uint32_t kTapStates = 16;

// The state a rising TCK edge moves to from `state` with TMS at `tms`.
TapState TapNextState(TapState state, bool tms);

constexpr uint32_t kTapIrBits = 8;
// The instruction register captures xxxxxx01, as every port must.
constexpr uint8_t kTapIrCapture = 0x01;
constexpr uint8_t kTapInstrIdcode = 0x01;
constexpr uint8_t kTapInstrUsercode = 0xFD;
constexpr uint8_t kTapInstrBypass = 0xFF;
constexpr uint32_t kTapIdcodeBits = 32;
constexpr uint32_t kTapUsercodeBits = 32;
constexpr uint32_t kTapBypassBits = 1;

// Longest data register a device may select.
constexpr uint32_t kTapMaxRegisterBits = 320;

// A shift register kept as a ring: a shift takes the bit at the head out
// towards TDO and puts TDI's bit in its place, so each clock costs the same
// whatever the register's length. Position 0 is the bit next to TDO (the
// first to come out, the least significant of a serial vector).
struct TapRegister {
  uint8_t bits[kTapMaxRegisterBits] = {};
  uint16_t length = 1;
  uint16_t head = 0;
};

// Starts the register over at `length` bits (clamped to 1..kTapMaxRegisterBits), all 0.
void TapRegisterReset(TapRegister* reg, uint32_t length);
bool TapRegisterBit(const TapRegister& reg, uint32_t position);
void TapRegisterSetBit(TapRegister* reg, uint32_t position, bool value);
// Positions first..first+count-1 as a number, position `first` its least significant bit (count <= 64).
uint64_t TapRegisterValue(const TapRegister& reg, uint32_t first, uint32_t count);
void TapRegisterSetValue(TapRegister* reg, uint32_t first, uint32_t count, uint64_t value);

// The device behind the port. Every function gets the latched instruction.
struct JtagDeviceOps {
  // Whether the device has the instruction right now, and the length of its
  // data register; false sends the instruction to BYPASS.
  bool (*select)(void* device, uint8_t instruction, uint32_t* bits);
  // Capture-DR: the register's parallel load (it comes in cleared to 0).
  void (*capture)(void* device, uint8_t instruction, TapRegister* dr);
  // Update-DR: the register as shifted.
  void (*update)(void* device, uint8_t instruction, const TapRegister& dr);
  // Update-IR: a new instruction took effect (also after reset, with IDCODE).
  void (*instruction)(void* device, uint8_t instruction);
  uint32_t (*usercode)(void* device);
  // Before a rising TCK edge acts, with the edges taken so far; may be null.
  void (*rising)(void* device, uint64_t edges);
};

struct JtagTap {
  uint32_t idcode = 0;
  const JtagDeviceOps* ops = nullptr;  // may be null: IDCODE, USERCODE 0xFFFFFFFF, BYPASS
  void* device = nullptr;

  TapState state = TapState::TestLogicReset;
  uint8_t instruction = kTapInstrIdcode;
  bool deviceOwns = false;  // the latched instruction is the device's, not one of the port's own
  bool tck = true;          // last level seen, so only edges act
  bool tdo = true;          // the wire: driven in the shift states, else left to its pull-up
  TapRegister ir;
  TapRegister dr;
  uint64_t risingEdges = 0;
};

// Powers the port up: Test-Logic-Reset, IDCODE latched, TDO not driven.
void JtagTapPowerUp(JtagTap* tap, uint32_t idcode, const JtagDeviceOps* ops, void* device);

// TCK at `tck` with TMS and TDI at their levels. Only a change acts: rising,
// the controller samples TMS and TDI (capture, shift, state change); falling,
// it updates the instruction or data register and sets TDO.
void JtagTapClock(JtagTap* tap, bool tck, bool tms, bool tdi);
