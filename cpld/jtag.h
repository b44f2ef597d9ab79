// The CPLD's JTAG port on four processor pins driven by software: open and
// close, single clocks, TAP controller moves, scans with capture, masked
// comparison and retry, and the waits scans need. The caller keeps the TAP
// state in one byte and passes it to every operation that moves the
// controller.
#pragma once

#include <cstdint>

// TAP controller states, numbered as the XSVF format numbers them.
enum JtagState : uint8_t {
  JTAG_TEST_LOGIC_RESET = 0,
  JTAG_RUN_TEST_IDLE = 1,
  JTAG_SELECT_DR_SCAN = 2,
  JTAG_CAPTURE_DR = 3,
  JTAG_SHIFT_DR = 4,
  JTAG_EXIT1_DR = 5,
  JTAG_PAUSE_DR = 6,
  JTAG_EXIT2_DR = 7,
  JTAG_UPDATE_DR = 8,
  JTAG_SELECT_IR_SCAN = 9,
  JTAG_CAPTURE_IR = 10,
  JTAG_SHIFT_IR = 11,
  JTAG_EXIT1_IR = 12,
  JTAG_PAUSE_IR = 13,
  JTAG_EXIT2_IR = 14,
  JTAG_UPDATE_IR = 15,
};
constexpr uint8_t JTAG_STATE_LAST = JTAG_UPDATE_IR;

// Signals JtagSetPin drives.
constexpr uint32_t JTAG_PIN_TCK = 0;
constexpr uint32_t JTAG_PIN_TMS = 1;
constexpr uint32_t JTAG_PIN_TDI = 2;

// Results, shared with the XSVF player.
constexpr uint32_t JTAG_OK = 0;
constexpr uint32_t JTAG_ERR_TDO_MISMATCH = 2;
constexpr uint32_t JTAG_ERR_MAX_RETRIES = 3;
constexpr uint32_t JTAG_ERR_ILLEGAL_STATE = 5;

// A bit vector: the first byte is the most significant; the least
// significant bit of the last byte is shifted first. Plain value, owned by
// its caller.
constexpr uint32_t JTAG_VECTOR_MAX_BYTES = 7000;
struct JtagVector {
  uint16_t count;
  uint8_t data[JTAG_VECTOR_MAX_BYTES];
};

// Takes the pins of the processor's part code and configures them. False,
// with nothing touched, on a part code without a CPLD or when the pins'
// registers cannot be mapped.
bool JtagOpen();
// Pins back to inputs, except TMS, which stays driven high.
void JtagClose();

// 0 TCK, 1 TMS, 2 TDI; any other signal does nothing.
void JtagSetPin(uint32_t signal, uint32_t level);
uint32_t JtagReadTdo();
// One TCK cycle with TMS at `tms`.
void JtagTmsClock(uint32_t tms);

// Moves the controller to `target`: JTAG_OK, or JTAG_ERR_ILLEGAL_STATE for an
// Exit2 state outside its Pause state or a target that is no state (nothing
// clocked). Test-Logic-Reset always takes six clocks with TMS high.
uint32_t JtagGotoState(uint8_t* state, uint8_t target);

// Shifts `bitCount` bits of `tdi` in the current Shift state, the last
// byte's least significant bit first; `captured` (optional) receives TDO at
// the same positions. With `exitOnLast` TMS is high on the final bit. Bits
// beyond tdi's bytes go out as 0 and are not captured.
void JtagShiftBits(uint32_t bitCount, const JtagVector* tdi, JtagVector* captured, bool exitOnLast);

// A scan from `startState` (Shift-DR or Shift-IR) to `endState`, waiting
// `runTestMicroseconds` in Run-Test/Idle afterwards; a mismatch against
// `expected` under `mask` is retried up to `maxRepeat` times through
// Pause-DR with the wait lengthened by a quarter each time. captured,
// expected and mask may be null. JTAG_OK, JTAG_ERR_TDO_MISMATCH (no retries
// allowed) or JTAG_ERR_MAX_RETRIES.
uint32_t JtagScan(uint8_t* state, uint8_t startState, uint32_t bitCount, const JtagVector* tdi, JtagVector* captured,
                  const JtagVector* expected, const JtagVector* mask, uint8_t endState, uint32_t runTestMicroseconds,
                  uint32_t maxRepeat);

// The longest JtagScan with these arguments waits, in microseconds: every
// retry a mismatch could ask for, each lengthened as the scan lengthens it.
// Nothing is clocked; a check of a stream adds these up before it is played.
uint64_t JtagScanLongestWait(uint8_t startState, uint32_t bitCount, bool compared, uint8_t endState,
                             uint32_t runTestMicroseconds, uint32_t maxRepeat);

// Waits at least `microseconds` (TimerWaitMicroseconds); TCK stands still.
// A wait shorter than the stream asks could leave a row unprogrammed.
void JtagWaitMicroseconds(uint32_t microseconds);

// The bytes folded most significant first into 32 bits (meaningful for at
// most four bytes).
uint32_t JtagVectorValue(const JtagVector* vector);
// True when expected and captured agree in expected's bytes under mask
// (null: every bit).
bool JtagVectorEqual(const JtagVector* expected, const JtagVector* captured, const JtagVector* mask);
// result = a + b as big-endian numbers of a's length; the carry out of the
// top byte is dropped and b's missing top bytes count as 0.
void JtagVectorAdd(JtagVector* result, const JtagVector* a, const JtagVector* b);

// Forgets the pin assignment (tests only).
void JtagResetForTests();
