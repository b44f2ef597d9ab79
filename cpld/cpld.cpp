#include "cpld/cpld.h"

#include "cpld/gpio.h"
#include "cpld/jtag.h"
#include "cpld/timer.h"
#include "cpld/xsvf.h"
#include "flash/hardware.h"
#include "platform/threads.h"

namespace {

// JTAG instructions (8 bits) and their data registers (32 bits).
constexpr uint8_t CPLD_IR_IDCODE = 0x01;
constexpr uint8_t CPLD_IR_USERCODE = 0xFD;
constexpr uint32_t CPLD_IR_BITS = 8;
constexpr uint32_t CPLD_DR_BITS = 32;
constexpr uint16_t CPLD_DR_BYTES = 4;
constexpr uint32_t CPLD_SCAN_WAIT_US = 1;  // in Run-Test/Idle after each scan

// What a TDO line nobody drives reads (it floats high), and what one held
// low or a device without an IDCODE (its bypass bit captures 0) reads: no
// identity at all, as opposed to a wrong one.
constexpr uint32_t IDCODE_FLOATING = 0xFFFFFFFF;
constexpr uint32_t IDCODE_HELD_LOW = 0x00000000;

// The settle wait after programming: 975 counts of the OS timer (3.25 MHz),
// 300 microseconds.
constexpr uint32_t CPLD_SETTLE_COUNTS = 975;

// On the module's 256-level scale: above every ordinary thread, so the
// bit-banged clock is not interrupted.
constexpr int CPLD_PROGRAM_PRIORITY = 1;

// Instructions the refresh stream uses.
constexpr uint8_t IR_BYPASS = 0xFF;
constexpr uint8_t IR_ISC_ENABLE = 0xE8;
constexpr uint8_t IR_ISC_INIT = 0xF0;
constexpr uint8_t IR_ISC_DISABLE = 0xC0;

// Re-reads the array into the device's configuration after programming:
// identity check, in-system mode, the init pulse through Update-IR, out of
// in-system mode, and a bypass scan back in Run-Test/Idle.
constexpr uint8_t kRefreshStream[] = {
    XREPEAT, 0x00, XENDIR, 0x00, XENDDR, 0x00, XSTATE, JTAG_TEST_LOGIC_RESET, XSTATE, JTAG_RUN_TEST_IDLE,
    XSIR, 0x08, CPLD_IR_IDCODE, XSDRSIZE, 0x00, 0x00, 0x00, 0x20, XTDOMASK, 0x0F, 0xFF, 0x8F, 0xFF,
    XRUNTEST, 0x00, 0x00, 0x00, 0x00, XSDRTDO, 0x00, 0x00, 0x00, 0x00, 0xF6, 0xE5, 0xF0, 0x93,
    XSIR, 0x08, IR_BYPASS, XSIR, 0x08, CPLD_IR_IDCODE, XSDRTDO, 0x00, 0x00, 0x00, 0x00, 0xF6, 0xE5, 0xF0, 0x93,
    XSIR, 0x08, IR_BYPASS, XSIR, 0x08, IR_BYPASS, XSIR, 0x08, IR_ISC_ENABLE, XSIR, 0x08, IR_ISC_INIT,
    XSTATE, JTAG_RUN_TEST_IDLE, XWAIT, JTAG_RUN_TEST_IDLE, JTAG_RUN_TEST_IDLE, 0x00, 0x00, 0x00, 0x14,
    XENDIR, 0x01, XSIR, 0x08, IR_ISC_INIT, XSTATE, JTAG_EXIT2_IR, XSTATE, JTAG_UPDATE_IR, XSTATE,
    JTAG_SELECT_DR_SCAN, XSTATE, JTAG_CAPTURE_DR, XSTATE, JTAG_EXIT1_DR, XSTATE, JTAG_UPDATE_DR, XSTATE,
    JTAG_RUN_TEST_IDLE, XWAIT, JTAG_RUN_TEST_IDLE, JTAG_RUN_TEST_IDLE, 0x00, 0x00, 0x03, 0x20,
    XENDIR, 0x00, XSIR, 0x08, IR_ISC_DISABLE, XWAIT, JTAG_RUN_TEST_IDLE, JTAG_RUN_TEST_IDLE, 0x00, 0x00, 0x00, 0x64,
    XREPEAT, 0x00, XREPEAT, 0x20, XSTATE, JTAG_TEST_LOGIC_RESET, XSTATE, JTAG_RUN_TEST_IDLE, XRUNTEST, 0x00, 0x00,
    0x00, 0x00, XSIR, 0x08, IR_BYPASS, XSDRSIZE, 0x00, 0x00, 0x00, 0x01, XTDOMASK, 0x00, XSDRTDO, 0x00, 0x00,
    XCOMPLETE,
};
static_assert(sizeof kRefreshStream == 138);

struct CpldState {
  bool initialised = false;
  uint32_t partCode = 0;
  CpldProgramFailure failure = {};
};

CpldState g_cpld;

bool HasCpld(uint32_t partCode) {
  for (uint32_t code : CPLD_PART_CODES) {
    if (code == partCode) return true;
  }
  return false;
}

// Loads `instruction`, then reads the 32-bit data register it selects; the
// port is open.
uint32_t ReadRegister(uint8_t* state, uint8_t instruction) {
  JtagVector ir{};
  ir.count = 1;
  ir.data[0] = instruction;
  JtagScan(state, JTAG_SHIFT_IR, CPLD_IR_BITS, &ir, nullptr, nullptr, nullptr, JTAG_RUN_TEST_IDLE, CPLD_SCAN_WAIT_US,
           0);
  JtagVector tdi{};
  tdi.count = CPLD_DR_BYTES;
  JtagVector captured{};
  JtagScan(state, JTAG_SHIFT_DR, CPLD_DR_BITS, &tdi, &captured, nullptr, nullptr, JTAG_RUN_TEST_IDLE,
           CPLD_SCAN_WAIT_US, 0);
  return JtagVectorValue(&captured);
}

bool IsIdcode(uint32_t value) { return value != IDCODE_FLOATING && value != IDCODE_HELD_LOW; }

// The IDCODE without its revision; false when the port cannot be opened or
// no IDCODE comes back.
bool ReadIdentity(uint32_t* identity) {
  if (!JtagOpen()) return false;
  uint8_t state = JTAG_TEST_LOGIC_RESET;
  JtagGotoState(&state, JTAG_TEST_LOGIC_RESET);
  uint32_t value = ReadRegister(&state, CPLD_IR_IDCODE);
  JtagClose();
  if (!IsIdcode(value)) return false;
  *identity = value & CPLD_IDCODE_REVISION_MASK;
  return true;
}

// Gives the device time to come up on its new configuration. Spins on the
// OS timer rather than sleeping, so the wait is as short as it may be.
void Settle() { TimerSpin(CPLD_SETTLE_COUNTS); }

struct PriorityRaise {
  bool raised = false;
  int previous = 0;
};

void RaisePriority(PriorityRaise* raise) {
  if (raise->raised) return;
  int previous = CeGetThreadPriority(GetCurrentThread());
  if (previous == THREAD_PRIORITY_ERROR_RETURN) return;
  raise->previous = previous;
  raise->raised = CeSetThreadPriority(GetCurrentThread(), CPLD_PROGRAM_PRIORITY) != FALSE;
}

void RestorePriority(const PriorityRaise& raise) {
  if (raise.raised) CeSetThreadPriority(GetCurrentThread(), raise.previous);
}

// The first failure is the one kept: a refresh after a failed design fails
// for the design's sake, if at all.
bool Play(const uint8_t* stream, uint32_t length, bool refresh) {
  uint32_t commands = 0;
  uint32_t error = XsvfRunDetailed(stream, length, &commands);
  if (error != XSVF_OK && g_cpld.failure.xsvfError == XSVF_OK) g_cpld.failure = {error, commands, refresh};
  return error == XSVF_OK;
}

}  // namespace

CpldProgramFailure CpldLastProgramFailure() { return g_cpld.failure; }

uint32_t CpldInit() {
  if (g_cpld.initialised) return CPLD_OK;
  g_cpld.partCode = CpuPartCode();
  if (!HasCpld(g_cpld.partCode)) return CPLD_ERR_NO_CPLD;
  uint32_t identity = 0;
  if (!ReadIdentity(&identity)) return CPLD_ERR_ID_READ;
  if (identity != CPLD_IDCODE) return CPLD_ERR_WRONG_DEVICE;
  g_cpld.initialised = true;
  return CPLD_OK;
}

uint32_t CpldRelease() {
  g_cpld.initialised = false;
  return CPLD_OK;
}

uint32_t CpldReadVersion(uint32_t* version) {
  if (!g_cpld.initialised) return CPLD_ERR_NOT_INITIALISED;
  if (!JtagOpen()) return CPLD_ERR_NO_ANSWER;
  uint8_t state = JTAG_TEST_LOGIC_RESET;
  JtagGotoState(&state, JTAG_TEST_LOGIC_RESET);
  uint32_t result = CPLD_ERR_NO_ANSWER;
  if ((ReadRegister(&state, CPLD_IR_IDCODE) & CPLD_IDCODE_REVISION_MASK) == CPLD_IDCODE) {
    *version = ReadRegister(&state, CPLD_IR_USERCODE);
    result = CPLD_OK;
  }
  JtagClose();
  return result;
}

uint32_t CpldProgram(const uint8_t* stream, uint32_t length, uint32_t mode) {
  if (!g_cpld.initialised) return CPLD_ERR_NOT_INITIALISED;
  if (mode != CPLD_MODE_REFRESH && mode != CPLD_MODE_PLAIN) mode = CPLD_MODE_RAISED;
  PriorityRaise raise;
  if (mode == CPLD_MODE_RAISED) RaisePriority(&raise);
  g_cpld.failure = {};
  bool ok = Play(stream, length, false);
  if (mode == CPLD_MODE_REFRESH) {
    // Also after a failed firmware stream: the device must not stay in
    // in-system mode.
    RaisePriority(&raise);
    bool refreshed = Play(kRefreshStream, sizeof kRefreshStream, true);
    ok = ok && refreshed;
  }
  Settle();
  RestorePriority(raise);
  return ok ? CPLD_OK : CPLD_ERR_PROGRAM;
}

void CpldResetForTests() {
  g_cpld = CpldState{};
  JtagResetForTests();
  GpioResetForTests();
  TimerResetForTests();
}
