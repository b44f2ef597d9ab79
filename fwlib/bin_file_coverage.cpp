#include "fwlib/bin_file_coverage.h"

#include <algorithm>
#include <cstdlib>

#include "fwlib/results.h"

namespace {

constexpr uint32_t FIRST_CAPACITY = 16;
constexpr uint32_t LARGEST_CAPACITY = UINT32_MAX / 2 / sizeof(CoveredRange);

bool Grow(RecordCoverage* c) {
  if (c->count < c->capacity) return true;
  if (c->capacity > LARGEST_CAPACITY) return false;
  uint32_t capacity = c->capacity == 0 ? FIRST_CAPACITY : 2 * c->capacity;
  void* grown = std::realloc(c->ranges, size_t{capacity} * sizeof(CoveredRange));
  if (grown == nullptr) return false;
  c->ranges = static_cast<CoveredRange*>(grown);
  c->capacity = capacity;
  return true;
}

}  // namespace

void CoverageStart(RecordCoverage* coverage, uint32_t pageBytes) {
  *coverage = RecordCoverage{};
  coverage->pageMask = pageBytes != 0 ? pageBytes - 1 : 0;
}

uint32_t CoverageAdd(RecordCoverage* c, uint32_t offset, uint32_t length, bool paged) {
  if (length == 0) return FWL_OK;
  uint32_t end = offset + length;
  if (paged) {
    // The page writer has written every page before the one it holds open.
    uint32_t first = offset & ~c->pageMask;
    if (c->pageSeen && first < c->lastPage) return FWL_ERR_FILE_FORMAT;
    c->pageSeen = true;
    c->lastPage = (end - 1) & ~c->pageMask;
  }
  if (c->count != 0) {
    CoveredRange& last = c->ranges[c->count - 1];
    if (offset == last.end) {
      last.end = end;
      return FWL_OK;
    }
    if (offset < last.end) c->inOrder = false;
  }
  if (!Grow(c)) return FWL_ERR_NO_MEMORY;
  c->ranges[c->count++] = CoveredRange{offset, end};
  return FWL_OK;
}

uint32_t CoverageCheck(RecordCoverage* c) {
  if (c->inOrder) return FWL_OK;
  std::sort(c->ranges, c->ranges + c->count,
            [](const CoveredRange& a, const CoveredRange& b) { return a.start < b.start; });
  for (uint32_t i = 1; i < c->count; i++) {
    if (c->ranges[i].start < c->ranges[i - 1].end) return FWL_ERR_FILE_FORMAT;
  }
  return FWL_OK;
}

bool CoverageReaches(const RecordCoverage& coverage, uint32_t start, uint32_t length) {
  uint64_t end = uint64_t{start} + length;
  for (uint32_t i = 0; i < coverage.count; i++) {
    if (coverage.ranges[i].start < end && coverage.ranges[i].end > start) return true;
  }
  return false;
}

void CoverageFree(RecordCoverage* coverage) {
  std::free(coverage->ranges);
  *coverage = RecordCoverage{};
}
