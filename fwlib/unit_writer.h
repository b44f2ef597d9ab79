// Hands record data to the flash and reads every piece back. On NOR the data
// goes straight through; a ragged first or last word is padded with 0xFF,
// which programs nothing. On NAND it is gathered into whole pages (the
// "units"), so each page is programmed once and whole: 0xFF where no record
// supplies data, pages skipped between two writes full of 0xFF. The caller
// holds the flash lock.
#pragma once

#include <cstdint>

// No unit: the pending and next unit addresses at start and after a flush.
constexpr uint32_t UNIT_NONE = 0xFFFFFFFF;

// Writes n bytes (any alignment of source and offset) to flash offset
// `offset`. FWL_OK, or the first failure: 15 a write failed, 14 a read-back
// failed, 18 the read-back differs, 9 no memory for the unit buffer. On NAND
// the work goes on to the end of the call after a failure.
uint32_t UnitWrite(const uint8_t* source, uint32_t offset, uint32_t n);

// Writes the pending unit, if any, forgets both unit addresses and frees the
// unit buffer. FWL_OK or 15, 14, 18.
uint32_t UnitFlush();

// For tests: the pending and next unit addresses.
uint32_t UnitPending();
uint32_t UnitNext();
void UnitWriterResetForTests();
