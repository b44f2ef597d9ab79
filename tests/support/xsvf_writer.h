// XSVF streams for tests, built command by command. Values are written
// big-endian in as many bytes as their bit length needs, as the player reads
// them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using XsvfStream = std::vector<uint8_t>;

// A command with one-byte operands (XREPEAT, XENDDR, XSTATE ...) or none.
void XsvfPut(XsvfStream* s, uint8_t command, std::initializer_list<uint8_t> operands = {});
// A command with one 32-bit operand (XRUNTEST, XSDRSIZE).
void XsvfPut32(XsvfStream* s, uint8_t command, uint32_t value);
// `value` in (bits + 7) / 8 big-endian bytes, up to 64 bits.
void XsvfPutValue(XsvfStream* s, uint32_t bits, uint64_t value);
// XSIR with its 8-bit length.
void XsvfSir(XsvfStream* s, uint8_t bits, uint64_t value);
// A vendor's stream from the shared test data (xsvf/NAME); empty when missing.
XsvfStream XsvfVendorFile(const std::string& name);
// Where each command of a well-formed stream starts, in order, found by the
// program's own check (so a test needs no table of command lengths).
std::vector<uint32_t> XsvfCommandStarts(const XsvfStream& s);
// The smallest stream a check takes: XCOMPLETE alone.
inline XsvfStream XsvfEmptyDesign() { return XsvfStream{0x00}; }

// XSDRSIZE, then `command` (XSDR, XSDRTDO, XSDRTDOB ...) with TDI and, for
// the TDO forms, the expected value.
void XsvfSdr(XsvfStream* s, uint8_t command, uint32_t bits, uint64_t tdi, uint64_t expected = 0);
