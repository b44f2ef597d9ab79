#include "cpld/xsvf.h"

#include <bit>

namespace {

constexpr uint32_t BITS_PER_BYTE = 8;
constexpr uint32_t XSIR2_LENGTH_BYTES = 2;
constexpr uint32_t XSVF_NUMBER_BYTES = 4;  // XRUNTEST, XSDRSIZE, XWAIT's time
constexpr uint8_t XENDXR_PAUSE = 1;        // XENDIR/XENDDR: end in Pause; 0: in Run-Test/Idle
constexpr uint8_t XCOMMENT_END = 0;
constexpr uint64_t MICROSECONDS_PER_MS = 1000;

// A scan's longest wait with retries, kept while XRUNTEST and XREPEAT stay
// as they are: counting a long stream's retries afresh for every scan would
// cost the check more than the stream is worth.
struct RetryWaitMemo {
  bool valid;
  uint32_t runTestMicroseconds;
  uint8_t maxRepeat;
  uint64_t microseconds;
};

// The player's context, one per run, on the caller's stack.
struct XsvfContext {
  uint8_t complete;
  uint8_t command;
  uint32_t commandCount;
  uint32_t error;
  uint8_t tapState;
  uint8_t endIrState;
  uint8_t endDrState;
  uint8_t maxRepeat;
  uint32_t runTestMicroseconds;
  uint32_t shiftBits;
  uint16_t shiftBytes;
  JtagVector tdi;
  JtagVector expected;
  JtagVector captured;
  JtagVector tdoMask;
  JtagVector addressMask;
  JtagVector dataMask;
  JtagVector nextData;
  // A check: the commands are read and judged as a run reads them, and the
  // waits added up, but no pin is touched.
  bool checking;
  uint64_t waitMicroseconds;
  RetryWaitMemo retryWait;
  uint32_t commandOffset;
};

struct XsvfReader {
  const uint8_t* begin = nullptr;
  const uint8_t* next = nullptr;
  const uint8_t* end = nullptr;
  bool ranOut = false;
};

XsvfReader g_reader;

uint32_t Remaining() { return static_cast<uint32_t>(g_reader.end - g_reader.next); }

// Big-endian operand of `bytes` bytes.
uint32_t ReadNumber(uint32_t bytes) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < bytes; i++) value = (value << BITS_PER_BYTE) | XsvfReadByte();
  return value;
}

// Computed wide: a 32-bit bit count near its top would wrap to a few bytes.
uint64_t BytesForBits(uint64_t bits) { return (bits + BITS_PER_BYTE - 1) / BITS_PER_BYTE; }

// Whether the operands read so far were all there; checked before a command acts.
uint32_t OperandsResult() { return g_reader.ranOut ? XSVF_ERR_STREAM_END : XSVF_OK; }

uint32_t Load(JtagVector* vector, uint32_t bytes) {
  return XsvfReadVector(vector, bytes) ? XSVF_OK : XSVF_ERR_STREAM_END;
}

uint32_t Offset() { return static_cast<uint32_t>(g_reader.next - g_reader.begin); }

uint64_t ScanLongestWait(XsvfContext* c, uint8_t startState, uint32_t bits, bool compared, uint8_t endState,
                         uint32_t runTestMicroseconds, uint32_t maxRepeat) {
  bool retried = compared && maxRepeat != 0 && bits != 0 && startState != endState;
  if (!retried) return JtagScanLongestWait(startState, bits, compared, endState, runTestMicroseconds, maxRepeat);
  RetryWaitMemo& m = c->retryWait;
  if (!m.valid || m.runTestMicroseconds != runTestMicroseconds || m.maxRepeat != maxRepeat) {
    m = {true, runTestMicroseconds, static_cast<uint8_t>(maxRepeat),
         JtagScanLongestWait(startState, bits, compared, endState, runTestMicroseconds, maxRepeat)};
  }
  return m.microseconds;
}

// Every scan, move and wait of the player goes through these three, so a
// check walks exactly the commands a run walks.
uint32_t Scan(XsvfContext* c, uint8_t startState, uint32_t bits, JtagVector* captured, const JtagVector* expected,
              const JtagVector* mask, uint8_t endState, uint32_t runTestMicroseconds, uint32_t maxRepeat) {
  if (!c->checking) {
    return JtagScan(&c->tapState, startState, bits, &c->tdi, captured, expected, mask, endState, runTestMicroseconds,
                    maxRepeat);
  }
  bool compared = captured != nullptr && expected != nullptr;
  c->waitMicroseconds += ScanLongestWait(c, startState, bits, compared, endState, runTestMicroseconds, maxRepeat);
  return XSVF_OK;
}

// A check refuses only what JtagGotoState refuses before it clocks: whether
// the device can get there depends on where a run would be.
uint32_t Goto(XsvfContext* c, uint8_t target) {
  if (!c->checking) return JtagGotoState(&c->tapState, target);
  return target > JTAG_STATE_LAST ? XSVF_ERR_ILLEGAL_STATE : XSVF_OK;
}

void Wait(XsvfContext* c, uint32_t microseconds) {
  if (c->checking) c->waitMicroseconds += microseconds;
  else JtagWaitMicroseconds(microseconds);
}

// A data scan as XSDR makes it: captured, compared under the TDO mask,
// retried, then the wait.
uint32_t ScanData(XsvfContext* c) {
  return Scan(c, JTAG_SHIFT_DR, c->shiftBits, &c->captured, &c->expected, &c->tdoMask, c->endDrState,
              c->runTestMicroseconds, c->maxRepeat);
}

uint32_t ScanInstruction(XsvfContext* c, uint32_t bits) {
  if (g_reader.ranOut) return XSVF_ERR_STREAM_END;
  uint64_t bytes = BytesForBits(bits);
  if (bytes > JTAG_VECTOR_MAX_BYTES) return XSVF_ERR_DATA_OVERFLOW;
  if (uint32_t e = Load(&c->tdi, static_cast<uint32_t>(bytes))) return e;
  return Scan(c, JTAG_SHIFT_IR, bits, nullptr, nullptr, nullptr, c->endIrState, c->runTestMicroseconds, 0);
}

// XSDRB, XSDRC and XSDRTDOB, XSDRTDOC stay in Shift-DR for the next piece;
// XSDRE and XSDRTDOE leave for the end-DR state.
uint8_t PieceEndState(const XsvfContext* c) {
  return c->command == XSDRE || c->command == XSDRTDOE ? c->endDrState : static_cast<uint8_t>(JTAG_SHIFT_DR);
}

// Writes the bits of next data into the TDI positions the data mask marks,
// both walked from the least significant bit up.
void FillMaskedBits(JtagVector* tdi, const JtagVector* dataMask, const JtagVector* nextData) {
  uint32_t taken = 0;
  for (uint32_t k = 0; k < dataMask->count && k < tdi->count; k++) {
    uint8_t mask = dataMask->data[dataMask->count - 1 - k];
    uint8_t* target = &tdi->data[tdi->count - 1 - k];
    for (uint32_t bit = 0; bit < BITS_PER_BYTE; bit++) {
      uint8_t position = static_cast<uint8_t>(1u << bit);
      if ((mask & position) == 0) continue;
      uint32_t from = taken / BITS_PER_BYTE;
      bool set = from < nextData->count &&
                 (nextData->data[nextData->count - 1 - from] & (1u << (taken % BITS_PER_BYTE))) != 0;
      *target = static_cast<uint8_t>(set ? *target | position : *target & ~position);
      taken++;
    }
  }
}

uint32_t SetBitsOf(const JtagVector* v) {
  uint32_t bits = 0;
  for (uint32_t i = 0; i < v->count; i++) bits += static_cast<uint32_t>(std::popcount(v->data[i]));
  return bits;
}

uint32_t DoComplete(XsvfContext* c) {
  c->complete = 1;
  return XSVF_OK;
}

uint32_t DoTdoMask(XsvfContext* c) { return Load(&c->tdoMask, c->shiftBytes); }

uint32_t DoSir(XsvfContext* c) { return ScanInstruction(c, XsvfReadByte()); }

uint32_t DoSir2(XsvfContext* c) { return ScanInstruction(c, ReadNumber(XSIR2_LENGTH_BYTES)); }

uint32_t DoSdr(XsvfContext* c) {
  if (uint32_t e = Load(&c->tdi, c->shiftBytes)) return e;
  return ScanData(c);
}

uint32_t DoRunTest(XsvfContext* c) {
  uint32_t microseconds = ReadNumber(XSVF_NUMBER_BYTES);
  if (uint32_t e = OperandsResult()) return e;
  c->runTestMicroseconds = microseconds;
  return XSVF_OK;
}

uint32_t DoRepeat(XsvfContext* c) {
  uint8_t repeat = XsvfReadByte();
  if (uint32_t e = OperandsResult()) return e;
  c->maxRepeat = repeat;
  return XSVF_OK;
}

uint32_t DoSdrSize(XsvfContext* c) {
  uint32_t bits = ReadNumber(XSVF_NUMBER_BYTES);
  if (uint32_t e = OperandsResult()) return e;
  uint64_t bytes = BytesForBits(bits);
  if (bytes > JTAG_VECTOR_MAX_BYTES) return XSVF_ERR_DATA_OVERFLOW;
  c->shiftBits = bits;
  c->shiftBytes = static_cast<uint16_t>(bytes);
  return XSVF_OK;
}

uint32_t DoSdrTdo(XsvfContext* c) {
  if (uint32_t e = Load(&c->tdi, c->shiftBytes)) return e;
  if (uint32_t e = Load(&c->expected, c->shiftBytes)) return e;
  return ScanData(c);
}

uint32_t DoSetSdrMasks(XsvfContext* c) {
  if (uint32_t e = Load(&c->addressMask, c->shiftBytes)) return e;
  return Load(&c->dataMask, c->shiftBytes);
}

// A first scan, then each further one at the next address with fresh data
// in the data-mask positions.
uint32_t DoSdrInc(XsvfContext* c) {
  if (uint32_t e = DoSdr(c)) return e;
  uint32_t dataBytes = static_cast<uint32_t>(BytesForBits(SetBitsOf(&c->dataMask)));
  uint8_t count = XsvfReadByte();
  if (uint32_t e = OperandsResult()) return e;
  for (uint32_t i = 0; i < count; i++) {
    if (uint32_t e = Load(&c->nextData, dataBytes)) return e;
    JtagVectorAdd(&c->tdi, &c->tdi, &c->addressMask);
    FillMaskedBits(&c->tdi, &c->dataMask, &c->nextData);
    if (uint32_t e = ScanData(c)) return e;
  }
  return XSVF_OK;
}

uint32_t DoSdrPiece(XsvfContext* c) {
  if (uint32_t e = Load(&c->tdi, c->shiftBytes)) return e;
  return Scan(c, JTAG_SHIFT_DR, c->shiftBits, nullptr, nullptr, nullptr, PieceEndState(c), 0, 0);
}

// Compared without the TDO mask.
uint32_t DoSdrTdoPiece(XsvfContext* c) {
  if (uint32_t e = Load(&c->tdi, c->shiftBytes)) return e;
  if (uint32_t e = Load(&c->expected, c->shiftBytes)) return e;
  return Scan(c, JTAG_SHIFT_DR, c->shiftBits, &c->captured, &c->expected, nullptr, PieceEndState(c), 0, 0);
}

uint32_t DoState(XsvfContext* c) {
  uint8_t state = XsvfReadByte();
  if (uint32_t e = OperandsResult()) return e;
  return Goto(c, state);
}

uint32_t ReadEndState(uint8_t pause, uint8_t* endState) {
  uint8_t v = XsvfReadByte();
  if (uint32_t e = OperandsResult()) return e;
  if (v > XENDXR_PAUSE) return XSVF_ERR_ILLEGAL_STATE;
  *endState = v == XENDXR_PAUSE ? pause : static_cast<uint8_t>(JTAG_RUN_TEST_IDLE);
  return XSVF_OK;
}

uint32_t DoEndIr(XsvfContext* c) { return ReadEndState(JTAG_PAUSE_IR, &c->endIrState); }

uint32_t DoEndDr(XsvfContext* c) { return ReadEndState(JTAG_PAUSE_DR, &c->endDrState); }

uint32_t DoComment(XsvfContext*) {
  while (XsvfReadByte() != XCOMMENT_END) {
    if (g_reader.ranOut) return XSVF_ERR_STREAM_END;
  }
  return OperandsResult();
}

// A state number that names no state is refused before anything is
// clocked, as XSTATE refuses it; otherwise the moves' results do not count:
// a wait is a wait wherever it happens.
uint32_t DoWait(XsvfContext* c) {
  uint8_t waitState = XsvfReadByte();
  uint8_t endState = XsvfReadByte();
  uint32_t microseconds = ReadNumber(XSVF_NUMBER_BYTES);
  if (uint32_t e = OperandsResult()) return e;
  if (waitState > JTAG_STATE_LAST || endState > JTAG_STATE_LAST) return XSVF_ERR_ILLEGAL_STATE;
  if (c->tapState != waitState) Goto(c, waitState);
  Wait(c, microseconds);
  if (c->tapState != endState) Goto(c, endState);
  return XSVF_OK;
}

using XsvfHandler = uint32_t (*)(XsvfContext* c);

// Indexed by command code; codes 5 and 6 are not commands.
constexpr XsvfHandler kHandlers[XSVF_COMMAND_COUNT] = {
    DoComplete,  DoTdoMask,     DoSir,         DoSdr,    DoRunTest,  nullptr,       nullptr,       DoRepeat,
    DoSdrSize,   DoSdrTdo,      DoSetSdrMasks, DoSdrInc, DoSdrPiece, DoSdrPiece,    DoSdrPiece,    DoSdrTdoPiece,
    DoSdrTdoPiece, DoSdrTdoPiece, DoState,     DoEndIr,  DoEndDr,    DoSir2,        DoComment,     DoWait,
};

}  // namespace

uint8_t XsvfReadByte() {
  if (g_reader.next == g_reader.end) {
    g_reader.ranOut = true;
    return 0;
  }
  return *g_reader.next++;
}

bool XsvfReadVector(JtagVector* vector, uint32_t byteCount) {
  if (byteCount > JTAG_VECTOR_MAX_BYTES || byteCount > Remaining()) {
    g_reader.ranOut = true;
    return false;
  }
  for (uint32_t i = 0; i < byteCount; i++) vector->data[i] = *g_reader.next++;
  vector->count = static_cast<uint16_t>(byteCount);
  return true;
}

namespace {

void StartReading(const uint8_t* stream, uint32_t length) {
  g_reader = XsvfReader{stream, stream, stream == nullptr ? stream : stream + length, false};
}

// Vectors start empty, so a scan before any expected value compares nothing.
void StartContext(XsvfContext* c) {
  c->endIrState = JTAG_RUN_TEST_IDLE;
  c->endDrState = JTAG_RUN_TEST_IDLE;
}

void PlayCommands(XsvfContext* c) {
  while (c->error == XSVF_OK && c->complete == 0) {
    c->commandOffset = Offset();
    if (Remaining() == 0) {
      c->error = XSVF_ERR_STREAM_END;
      break;
    }
    c->command = XsvfReadByte();
    c->commandCount++;
    XsvfHandler handler = c->command < XSVF_COMMAND_COUNT ? kHandlers[c->command] : nullptr;
    c->error = handler != nullptr ? handler(c) : XSVF_ERR_ILLEGAL_COMMAND;
  }
}

bool OnlyPaddingLeft() {
  if (Remaining() > XSVF_PADDING_MAX) return false;
  for (const uint8_t* p = g_reader.next; p != g_reader.end; p++) {
    if (*p != 0) return false;
  }
  return true;
}

}  // namespace

uint32_t XsvfRunDetailed(const uint8_t* stream, uint32_t length, uint32_t* commandCount) {
  StartReading(stream, length);
  if (commandCount != nullptr) *commandCount = 0;
  if (!JtagOpen()) return XSVF_ERR_NO_PORT;
  JtagSetPin(JTAG_PIN_TMS, 1);
  XsvfContext c{};
  StartContext(&c);
  c.error = JtagGotoState(&c.tapState, JTAG_TEST_LOGIC_RESET);
  PlayCommands(&c);
  JtagClose();
  if (commandCount != nullptr) *commandCount = c.commandCount;
  return c.error;
}

uint32_t XsvfCheck(const uint8_t* stream, uint32_t length, XsvfCheckResult* result) {
  StartReading(stream, length);
  XsvfContext c{};
  StartContext(&c);
  c.checking = true;
  PlayCommands(&c);
  XsvfCheckResult r{};
  r.error = c.error;
  r.offset = c.commandOffset;
  r.command = c.command;
  r.betweenCommands = c.error == XSVF_ERR_STREAM_END && c.commandOffset == length;
  r.commandCount = c.commandCount;
  r.waitMilliseconds = (c.waitMicroseconds + MICROSECONDS_PER_MS - 1) / MICROSECONDS_PER_MS;
  if (r.error == XSVF_OK) {
    r.offset = Offset();
    if (!OnlyPaddingLeft()) r.error = XSVF_ERR_TRAILING_DATA;
    else if (c.waitMicroseconds > XSVF_WAIT_BOUND_MS * MICROSECONDS_PER_MS) r.error = XSVF_ERR_WAITS_TOO_LONG;
  }
  if (result != nullptr) *result = r;
  return r.error;
}

uint32_t XsvfRun(const uint8_t* stream, uint32_t length) { return XsvfRunDetailed(stream, length, nullptr) == XSVF_OK ? 1 : 0; }
