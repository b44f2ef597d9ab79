// The flash the records of one BIN part cover, gathered while the part is
// walked. A byte written twice fails its read-back after the erase (a program
// only clears bits), and a NAND page takes one program only, so a file whose
// records overlap, or on NAND return to a page already written, is refused
// before anything is erased.
#pragma once

#include <cstdint>

struct CoveredRange {
  uint32_t start;
  uint32_t end;  // exclusive; the records lie inside the flash, so it fits
};

struct RecordCoverage {
  // Records that follow on from the one before widen its range; only gaps
  // and steps back add one. Allocated on first use.
  CoveredRange* ranges = nullptr;
  uint32_t count = 0;
  uint32_t capacity = 0;
  bool inOrder = true;  // no range started before the end of the one before
  uint32_t pageMask = 0;
  bool pageSeen = false;
  uint32_t lastPage = 0;  // the page of the last byte of the last paged record
};

// `pageBytes`: the NAND page size (a power of two), or 0 where the flash has no pages.
void CoverageStart(RecordCoverage* coverage, uint32_t pageBytes);

// Notes a record of `length` bytes at flash offset `offset`, which `paged`
// says goes to the flash page by page in file order. FWL_OK; 6 for a paged
// record that starts on a page before the one the last paged record ended on;
// 9 when the list cannot grow.
uint32_t CoverageAdd(RecordCoverage* coverage, uint32_t offset, uint32_t length, bool paged);

// FWL_OK when no two records share a byte, else 6. Sorts the list when the
// records came out of order.
uint32_t CoverageCheck(RecordCoverage* coverage);

// True when some record puts data into [start, start + length).
bool CoverageReaches(const RecordCoverage& coverage, uint32_t start, uint32_t length);

void CoverageFree(RecordCoverage* coverage);
