#include "fwlib/checksum.h"

#include <algorithm>

#include "fwlib/checksum_runs.h"

namespace {

constexpr uint32_t FLETCHER_START = 0xFFFF;
constexpr uint32_t LOW_HALF = 0xFFFF;
constexpr uint32_t HALF_BITS = 16;

struct ChecksumState {
  ChecksumKind kind = ChecksumKind::ByteSum;
  uint32_t byteSum = 0;
  uint32_t sum1 = FLETCHER_START;
  uint32_t sum2 = FLETCHER_START;
  uint32_t blockLeft = 0;  // bytes still to come in the current block
  bool finished = false;
  uint32_t bytes = 0;
};

ChecksumState g_checksum;

uint32_t Fold(uint32_t s) { return (s & LOW_HALF) + (s >> HALF_BITS); }

void FeedFletcher(const uint8_t* data, uint32_t length) {
  ChecksumState& c = g_checksum;
  uint32_t sum1 = c.sum1, sum2 = c.sum2, blockLeft = c.blockLeft;
  for (uint32_t i = 0; i < length;) {
    if (blockLeft == 0) blockLeft = FLETCHER_BLOCK_BYTES;
    // Blocks and pieces are whole words, so a run is too.
    uint32_t run = std::min(blockLeft, length - i);
    uint32_t words = run / 2;
    WordRunSums s = WordRunSumsOf(data + i, words);
    sum2 += words * sum1 + s.weighted;
    sum1 += s.plain;
    i += run;
    blockLeft -= run;
    // Folding once per block keeps both sums from overflowing 32 bits.
    if (blockLeft == 0) {
      sum1 = Fold(sum1);
      sum2 = Fold(sum2);
    }
  }
  c.sum1 = sum1;
  c.sum2 = sum2;
  c.blockLeft = blockLeft;
}

}  // namespace

void ChecksumSelect(ChecksumKind kind) {
  g_checksum.kind = kind;
  ChecksumReset();
}

void ChecksumReset() {
  ChecksumKind kind = g_checksum.kind;
  g_checksum = ChecksumState{};
  g_checksum.kind = kind;
}

bool ChecksumFeed(const uint8_t* data, uint32_t length) {
  ChecksumState& c = g_checksum;
  if (c.kind == ChecksumKind::ByteSum) {
    c.byteSum = ByteSumRun(c.byteSum, data, length);
  } else {
    if (length % FLETCHER_PIECE_ALIGN != 0) return false;
    if (!c.finished) FeedFletcher(data, length);
  }
  c.bytes += length;
  return true;
}

uint32_t ChecksumResult() {
  ChecksumState& c = g_checksum;
  if (c.kind == ChecksumKind::ByteSum) return c.byteSum;
  if (!c.finished) {
    if (c.blockLeft != 0) {
      c.sum1 = Fold(c.sum1);
      c.sum2 = Fold(c.sum2);
      c.blockLeft = 0;
    }
    c.sum1 = Fold(c.sum1);
    c.sum2 = Fold(c.sum2);
    c.finished = true;
  }
  return c.sum1 | c.sum2 << HALF_BITS;
}

uint32_t ChecksumByteCount() { return g_checksum.bytes; }

void ChecksumResetForTests() { g_checksum = ChecksumState{}; }
