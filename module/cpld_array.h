// The 64-macrocell CPLD's non-volatile configuration array: 98 rows of 274
// bits, each row reached by the 7-bit address the programming files send,
// and its file cpld.img in the module directory (docs/cpld-model.md).
#pragma once

#include <cstdint>
#include <string>

#include "module/atomic_file.h"

constexpr uint32_t kCpldRows = 98;
constexpr uint32_t kCpldRowBits = 274;
constexpr uint32_t kCpldAddressBits = 7;
constexpr uint32_t kCpldRowBytes = (kCpldRowBits + 7) / 8;

// What the programming files show of the array: the last step of a
// programming run clears this bit, so a configuration is complete with it
// clear; the files never verify it.
constexpr uint32_t kCpldDoneRow = 96;
constexpr uint32_t kCpldDoneBit = 265;
// Where the model keeps the USERCODE: the first 32 bits of the last row,
// which the programming files leave erased and never verify. Bit k of the
// code is bit k of the row; erased reads 0xFFFFFFFF.
constexpr uint32_t kCpldUsercodeRow = 97;

// Bit i of a row is bit i % 8 of byte i / 8; a set bit is erased. The six
// bits past the row's end in its last byte are always 0.
struct CpldArray {
  uint8_t rows[kCpldRows][kCpldRowBytes] = {};
};

// The row a 7-bit address reaches: the files walk the rows in a Gray code
// whose bits are sent in reverse order. False for the 30 addresses no row has.
bool CpldRowOfAddress(uint32_t address, uint32_t* row);
uint32_t CpldAddressOfRow(uint32_t row);

void CpldArrayErase(CpldArray* array);
// Programming only clears bits: the row keeps a bit set where `data` has it set.
void CpldArrayProgramRow(CpldArray* array, uint32_t row, const uint8_t data[kCpldRowBytes]);
bool CpldArrayBit(const CpldArray& array, uint32_t row, uint32_t bit);
void CpldArraySetBit(CpldArray* array, uint32_t row, uint32_t bit, bool value);

bool CpldArrayBlank(const CpldArray& array);
bool CpldArrayDone(const CpldArray& array);
uint32_t CpldArrayUsercode(const CpldArray& array);

// The array as it leaves the factory: a fixed firmware pattern, `usercode`,
// and the done bit.
void CpldArrayFactory(CpldArray* array, uint32_t usercode);

// A stable hash of the rows, as 16 hex digits (FNV-1a, 64 bits, over the
// row bytes in row order), to compare the results of two programming paths.
std::string CpldArrayDigest(const CpldArray& array);

// cpld.img. Load: `found` false (and the array untouched) when there is no
// file; false with `error` for a file that is not a whole, intact array.
bool CpldArrayLoad(const std::string& path, CpldArray* array, bool* found, std::string* error);
// Written atomically: readers see the old or the new array.
bool CpldArraySave(const std::string& path, const CpldArray& array, std::string* error,
                   AtomicDurability durability = AtomicDurability::HostCrash);
