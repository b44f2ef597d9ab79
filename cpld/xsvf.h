// The XSVF player: plays a compact serial vector stream from memory over the
// JTAG port, command by command, until XCOMPLETE or the first error. The
// stream's own length is unknown to the format, so the caller passes the
// length of the data it holds and a stream that runs out before XCOMPLETE
// fails.
#pragma once

#include <cstdint>

#include "cpld/jtag.h"

// Command codes.
constexpr uint8_t XCOMPLETE = 0x00;
constexpr uint8_t XTDOMASK = 0x01;
constexpr uint8_t XSIR = 0x02;
constexpr uint8_t XSDR = 0x03;
constexpr uint8_t XRUNTEST = 0x04;
constexpr uint8_t XREPEAT = 0x07;
constexpr uint8_t XSDRSIZE = 0x08;
constexpr uint8_t XSDRTDO = 0x09;
constexpr uint8_t XSETSDRMASKS = 0x0A;
constexpr uint8_t XSDRINC = 0x0B;
constexpr uint8_t XSDRB = 0x0C;
constexpr uint8_t XSDRC = 0x0D;
constexpr uint8_t XSDRE = 0x0E;
constexpr uint8_t XSDRTDOB = 0x0F;
constexpr uint8_t XSDRTDOC = 0x10;
constexpr uint8_t XSDRTDOE = 0x11;
constexpr uint8_t XSTATE = 0x12;
constexpr uint8_t XENDIR = 0x13;
constexpr uint8_t XENDDR = 0x14;
constexpr uint8_t XSIR2 = 0x15;
constexpr uint8_t XCOMMENT = 0x16;
constexpr uint8_t XWAIT = 0x17;
constexpr uint8_t XSVF_COMMAND_COUNT = 0x18;  // codes from here on are illegal

// Error codes: those of the format's reference player, and two of ours.
constexpr uint32_t XSVF_OK = 0;
constexpr uint32_t XSVF_ERR_NO_PORT = 1;  // the JTAG pins could not be reached
constexpr uint32_t XSVF_ERR_TDO_MISMATCH = JTAG_ERR_TDO_MISMATCH;
constexpr uint32_t XSVF_ERR_MAX_RETRIES = JTAG_ERR_MAX_RETRIES;
constexpr uint32_t XSVF_ERR_ILLEGAL_COMMAND = 4;
constexpr uint32_t XSVF_ERR_ILLEGAL_STATE = JTAG_ERR_ILLEGAL_STATE;
constexpr uint32_t XSVF_ERR_DATA_OVERFLOW = 6;  // a vector longer than JTAG_VECTOR_MAX_BYTES
constexpr uint32_t XSVF_ERR_STREAM_END = 7;     // the data ended inside a command or before XCOMPLETE
// Faults only a check finds: bytes after XCOMPLETE that are not word padding,
// and waits that add up past XSVF_WAIT_BOUND_MS.
constexpr uint32_t XSVF_ERR_TRAILING_DATA = 8;
constexpr uint32_t XSVF_ERR_WAITS_TOO_LONG = 9;

// Real CPLD programming streams wait seconds, a large device's a few
// minutes; a stream that would hold the module for longer is damaged or
// made to hang it.
constexpr uint32_t XSVF_WAIT_BOUND_MINUTES = 10;
constexpr uint64_t XSVF_WAIT_BOUND_MS = uint64_t{XSVF_WAIT_BOUND_MINUTES} * 60 * 1000;
// Zero bytes that may follow XCOMPLETE: a builder pads the stream to whole words.
constexpr uint32_t XSVF_PADDING_MAX = 3;

// The stream reader: a process-wide read pointer bounded by the data's end.
// Past the end XsvfReadByte gives 0 and XsvfReadVector false, and the run
// fails with XSVF_ERR_STREAM_END before the command acts.
uint8_t XsvfReadByte();
// The vector's count becomes byteCount, and that many bytes follow in stream
// order. False, with the vector untouched, when they are not all there.
bool XsvfReadVector(JtagVector* vector, uint32_t byteCount);

// Plays `length` bytes at `stream`: XSVF_OK when the stream reached XCOMPLETE
// without error, else the first error. `commandCount` (optional) receives
// the number of commands read.
uint32_t XsvfRunDetailed(const uint8_t* stream, uint32_t length, uint32_t* commandCount);

// 1 when the stream played to XCOMPLETE without error, else 0.
uint32_t XsvfRun(const uint8_t* stream, uint32_t length);

// What a check found.
struct XsvfCheckResult {
  uint32_t error;           // XSVF_OK or the first fault
  uint32_t offset;          // of the command at fault; on success and for trailing data, just after XCOMPLETE
  uint8_t command;          // its code
  bool betweenCommands;     // the data ended where a command should start (offset: the length)
  uint32_t commandCount;    // commands read
  uint64_t waitMilliseconds;  // the longest a run of the stream could wait, rounded up
};

// Reads `length` bytes at `stream` command by command with the player's own
// handlers, clocking nothing and touching no pin: XSVF_OK when the stream
// reaches XCOMPLETE, is followed by at most XSVF_PADDING_MAX zero bytes and
// could wait no longer than XSVF_WAIT_BOUND_MS in all; else the fault a run
// would meet first (a TAP move the device cannot make from where the run
// would be is left to the run). A scan that could mismatch is counted with
// every retry XREPEAT allows.
uint32_t XsvfCheck(const uint8_t* stream, uint32_t length, XsvfCheckResult* result);
