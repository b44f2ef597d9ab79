#include "cpld/jtag.h"

#include <cstring>

#include "cpld/gpio.h"
#include "cpld/timer.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t NO_PIN = 0xFFFFFFFF;  // above every pin count: the pin operations ignore it
constexpr uint32_t OUTPUT = 1;
constexpr uint32_t INPUT = 0;

// Test-Logic-Reset is reached from any state by five clocks with TMS high;
// the first of the six moves off whatever the controller did last.
constexpr uint32_t RESET_CLOCKS = 6;

constexpr uint32_t BITS_PER_BYTE = 8;
constexpr uint32_t RETRY_LENGTHEN_SHIFT = 2;  // each retry waits a quarter longer
constexpr uint32_t BYTE_CARRY = 0x100;

struct JtagPins {
  uint32_t partCode;
  uint32_t tck;
  uint32_t tms;
  uint32_t tdi;
  uint32_t tdo;
};

constexpr JtagPins kPinsByPartCode[] = {
    {2, 83, 129, 86, 85},
    {8, 85, 84, 88, 87},
    {9, 85, 84, 88, 87},
};

constexpr uint32_t DRIVEN_SIGNALS = JTAG_PIN_TDI + 1;

// The pins, and their level registers taken once at open so a clock is
// nothing but register writes.
struct JtagPortState {
  JtagPins pins = {0, NO_PIN, NO_PIN, NO_PIN, NO_PIN};
  GpioPinRegisters driven[DRIVEN_SIGNALS] = {};  // indexed by JtagSetPin's signal
  GpioPinRegisters tdo = {};
};

JtagPortState g_port;

uint32_t BytesOf(const JtagVector* v) { return v->count < JTAG_VECTOR_MAX_BYTES ? v->count : JTAG_VECTOR_MAX_BYTES; }

struct TapStep {
  uint32_t tms;
  uint8_t next;
};

// One clock toward `target` from `state` along the controller's graph.
TapStep StepToward(uint8_t state, uint8_t target) {
  switch (state) {
    case JTAG_TEST_LOGIC_RESET:
      return {0, JTAG_RUN_TEST_IDLE};
    case JTAG_RUN_TEST_IDLE:
      return {1, JTAG_SELECT_DR_SCAN};
    case JTAG_SELECT_DR_SCAN:
      return target < JTAG_SELECT_IR_SCAN ? TapStep{0, JTAG_CAPTURE_DR} : TapStep{1, JTAG_SELECT_IR_SCAN};
    case JTAG_CAPTURE_DR:
      return target == JTAG_SHIFT_DR ? TapStep{0, JTAG_SHIFT_DR} : TapStep{1, JTAG_EXIT1_DR};
    case JTAG_SHIFT_DR:
      return {1, JTAG_EXIT1_DR};
    case JTAG_EXIT1_DR:
      return target == JTAG_PAUSE_DR ? TapStep{0, JTAG_PAUSE_DR} : TapStep{1, JTAG_UPDATE_DR};
    case JTAG_PAUSE_DR:
      return {1, JTAG_EXIT2_DR};
    case JTAG_EXIT2_DR:
      return target == JTAG_SHIFT_DR ? TapStep{0, JTAG_SHIFT_DR} : TapStep{1, JTAG_UPDATE_DR};
    case JTAG_UPDATE_DR:
    case JTAG_UPDATE_IR:
      return target == JTAG_RUN_TEST_IDLE ? TapStep{0, JTAG_RUN_TEST_IDLE} : TapStep{1, JTAG_SELECT_DR_SCAN};
    case JTAG_SELECT_IR_SCAN:
      return {0, JTAG_CAPTURE_IR};
    case JTAG_CAPTURE_IR:
      return target == JTAG_SHIFT_IR ? TapStep{0, JTAG_SHIFT_IR} : TapStep{1, JTAG_EXIT1_IR};
    case JTAG_SHIFT_IR:
      return {1, JTAG_EXIT1_IR};
    case JTAG_EXIT1_IR:
      return target == JTAG_PAUSE_IR ? TapStep{0, JTAG_PAUSE_IR} : TapStep{1, JTAG_UPDATE_IR};
    case JTAG_PAUSE_IR:
      return {1, JTAG_EXIT2_IR};
    default:  // JTAG_EXIT2_IR
      return target == JTAG_SHIFT_IR ? TapStep{0, JTAG_SHIFT_IR} : TapStep{1, JTAG_UPDATE_IR};
  }
}

void GotoReset(uint8_t* state) {
  JtagTmsClock(1);
  for (uint32_t i = 1; i < RESET_CLOCKS; i++) {
    JtagSetPin(JTAG_PIN_TCK, 0);
    JtagSetPin(JTAG_PIN_TCK, 1);
  }
  *state = JTAG_TEST_LOGIC_RESET;
}

// Exit2 is reachable only from its own Pause state.
bool Reachable(uint8_t state, uint8_t target) {
  if (target == state) return true;
  if (target == JTAG_EXIT2_DR) return state == JTAG_PAUSE_DR;
  if (target == JTAG_EXIT2_IR) return state == JTAG_PAUSE_IR;
  return true;
}

// A quarter longer, held at the largest wait rather than wrapping to a short one.
uint32_t Lengthened(uint32_t microseconds) {
  uint32_t extra = microseconds >> RETRY_LENGTHEN_SHIFT;
  return microseconds > UINT32_MAX - extra ? UINT32_MAX : microseconds + extra;
}

void IdleFor(uint8_t* state, uint32_t microseconds) {
  if (microseconds == 0) return;
  JtagGotoState(state, JTAG_RUN_TEST_IDLE);
  JtagWaitMicroseconds(microseconds);
}

}  // namespace

bool JtagOpen() {
  if (!GpioReady()) return false;
  const JtagPins* pins = nullptr;
  for (const JtagPins& p : kPinsByPartCode) {
    if (p.partCode == GpioPartCode()) pins = &p;
  }
  JtagPortState port;
  if (pins == nullptr || !GpioPinRegistersOf(pins->tck, &port.driven[JTAG_PIN_TCK]) ||
      !GpioPinRegistersOf(pins->tms, &port.driven[JTAG_PIN_TMS]) ||
      !GpioPinRegistersOf(pins->tdi, &port.driven[JTAG_PIN_TDI]) || !GpioPinRegistersOf(pins->tdo, &port.tdo)) {
    return false;
  }
  port.pins = *pins;
  g_port = port;
  GpioSetFunction(pins->tck, GPIO_FUNCTION_GPIO, OUTPUT);
  GpioSetFunction(pins->tdo, GPIO_FUNCTION_GPIO, INPUT);
  GpioSetFunction(pins->tdi, GPIO_FUNCTION_GPIO, OUTPUT);
  // TMS high before it drives, so the controller sees no stray low.
  JtagSetPin(JTAG_PIN_TMS, 1);
  GpioSetFunction(pins->tms, GPIO_FUNCTION_GPIO, OUTPUT);
  return true;
}

void JtagClose() {
  const JtagPins& pins = g_port.pins;
  GpioSetFunction(pins.tck, GPIO_FUNCTION_GPIO, INPUT);
  GpioSetFunction(pins.tdo, GPIO_FUNCTION_GPIO, INPUT);
  GpioSetFunction(pins.tdi, GPIO_FUNCTION_GPIO, INPUT);
  JtagSetPin(JTAG_PIN_TMS, 1);
}

void JtagSetPin(uint32_t signal, uint32_t level) {
  if (signal >= DRIVEN_SIGNALS) return;
  const GpioPinRegisters& r = g_port.driven[signal];
  if (r.set == nullptr) return;  // the port was never opened
  WRITE_REGISTER_ULONG(level != 0 ? r.set : r.clear, r.bit);
}

uint32_t JtagReadTdo() {
  if (g_port.tdo.level == nullptr) return 0;
  return (READ_REGISTER_ULONG(g_port.tdo.level) & g_port.tdo.bit) != 0 ? 1 : 0;
}

void JtagTmsClock(uint32_t tms) {
  JtagSetPin(JTAG_PIN_TMS, tms);
  JtagSetPin(JTAG_PIN_TCK, 0);
  JtagSetPin(JTAG_PIN_TCK, 1);
}

uint32_t JtagGotoState(uint8_t* state, uint8_t target) {
  if (target == JTAG_TEST_LOGIC_RESET) {
    GotoReset(state);
    return JTAG_OK;
  }
  // A target that is no state would be walked toward forever.
  if (target > JTAG_STATE_LAST) return JTAG_ERR_ILLEGAL_STATE;
  if (*state > JTAG_STATE_LAST) {
    *state = target;
    return JTAG_ERR_ILLEGAL_STATE;
  }
  if (!Reachable(*state, target)) return JTAG_ERR_ILLEGAL_STATE;
  // Pause to the same Pause goes round through Update, so the register is
  // captured and shifted afresh.
  if (target == *state && (target == JTAG_PAUSE_DR || target == JTAG_PAUSE_IR)) {
    JtagTmsClock(1);
    *state = target + 1;
  }
  while (*state != target) {
    TapStep step = StepToward(*state, target);
    JtagTmsClock(step.tms);
    *state = step.next;
  }
  return JTAG_OK;
}

void JtagShiftBits(uint32_t bitCount, const JtagVector* tdi, JtagVector* captured, bool exitOnLast) {
  uint32_t bytes = BytesOf(tdi);
  if (captured != nullptr) {
    captured->count = static_cast<uint16_t>(bytes);
    std::memset(captured->data, 0, bytes);
  }
  for (uint32_t bit = 0; bit < bitCount; bit++) {
    uint32_t fromEnd = bit / BITS_PER_BYTE;
    bool inVector = fromEnd < bytes;
    uint32_t index = inVector ? bytes - 1 - fromEnd : 0;
    uint8_t mask = static_cast<uint8_t>(1u << (bit % BITS_PER_BYTE));
    if (exitOnLast && bit + 1 == bitCount) JtagSetPin(JTAG_PIN_TMS, 1);
    JtagSetPin(JTAG_PIN_TDI, inVector && (tdi->data[index] & mask) != 0);
    JtagSetPin(JTAG_PIN_TCK, 0);
    if (captured != nullptr && inVector && JtagReadTdo() != 0) captured->data[index] |= mask;
    JtagSetPin(JTAG_PIN_TCK, 1);
  }
}

uint32_t JtagScan(uint8_t* state, uint8_t startState, uint32_t bitCount, const JtagVector* tdi, JtagVector* captured,
                  const JtagVector* expected, const JtagVector* mask, uint8_t endState, uint32_t runTestMicroseconds,
                  uint32_t maxRepeat) {
  bool exitWanted = startState != endState;
  if (bitCount == 0) {
    IdleFor(state, runTestMicroseconds);
    return JTAG_OK;
  }
  for (uint32_t attempt = 0;; attempt++) {
    JtagGotoState(state, startState);
    JtagShiftBits(bitCount, tdi, captured, exitWanted);
    bool mismatch = expected != nullptr && captured != nullptr && !JtagVectorEqual(expected, captured, mask);
    if (exitWanted) {
      ++*state;  // the last bit left Shift for Exit1
      if (mismatch && runTestMicroseconds != 0 && attempt < maxRepeat) {
        // Through Pause back into Shift: the device gets its update and one
        // more clock before the data register is shifted again.
        JtagGotoState(state, JTAG_PAUSE_DR);
        JtagGotoState(state, JTAG_SHIFT_DR);
        runTestMicroseconds = Lengthened(runTestMicroseconds);
      } else {
        JtagGotoState(state, endState);
      }
      IdleFor(state, runTestMicroseconds);
    }
    if (!mismatch) return JTAG_OK;
    if (attempt >= maxRepeat) return maxRepeat != 0 ? JTAG_ERR_MAX_RETRIES : JTAG_ERR_TDO_MISMATCH;
  }
}

// JtagScan's loop at its worst: every attempt mismatches until the last.
uint64_t JtagScanLongestWait(uint8_t startState, uint32_t bitCount, bool compared, uint8_t endState,
                             uint32_t runTestMicroseconds, uint32_t maxRepeat) {
  if (runTestMicroseconds == 0) return 0;
  if (bitCount == 0) return runTestMicroseconds;
  if (startState == endState) return 0;
  uint32_t retries = compared ? maxRepeat : 0;
  uint64_t total = 0;
  for (uint32_t attempt = 0; attempt <= retries; attempt++) {
    if (attempt < retries) runTestMicroseconds = Lengthened(runTestMicroseconds);
    total += runTestMicroseconds;
  }
  return total;
}

void JtagWaitMicroseconds(uint32_t microseconds) { TimerWaitMicroseconds(microseconds); }

uint32_t JtagVectorValue(const JtagVector* vector) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < BytesOf(vector); i++) value = (value << BITS_PER_BYTE) | vector->data[i];
  return value;
}

bool JtagVectorEqual(const JtagVector* expected, const JtagVector* captured, const JtagVector* mask) {
  for (uint32_t i = BytesOf(expected); i-- > 0;) {
    uint8_t keep = mask != nullptr ? mask->data[i] : 0xFF;
    if ((expected->data[i] & keep) != (captured->data[i] & keep)) return false;
  }
  return true;
}

void JtagVectorAdd(JtagVector* result, const JtagVector* a, const JtagVector* b) {
  uint32_t bytes = BytesOf(a);
  uint32_t addend = BytesOf(b);
  uint32_t carry = 0;
  for (uint32_t k = 0; k < bytes; k++) {
    uint32_t i = bytes - 1 - k;
    uint32_t sum = a->data[i] + (k < addend ? b->data[addend - 1 - k] : 0) + carry;
    result->data[i] = static_cast<uint8_t>(sum);
    carry = sum >= BYTE_CARRY ? 1 : 0;
  }
  result->count = static_cast<uint16_t>(bytes);
}

void JtagResetForTests() { g_port = JtagPortState{}; }
