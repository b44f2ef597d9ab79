// The sums the running checksum is made of, over one run of bytes: with the
// processor's vector instructions where it has them (every 64-bit x86 has
// SSE2), plainly elsewhere. Both give the same numbers to the bit.
#pragma once

#include <cstdint>

// Sum of the bytes as unsigned 8-bit values, added to `sum` modulo 2^32.
uint32_t ByteSumRun(uint32_t sum, const uint8_t* data, uint32_t length);

// Over `words` 16-bit little-endian words w[0..n): the plain sum of the
// words and the sum of w[i] * (n - i), both modulo 2^32. A Fletcher block
// of n words then moves its sums on as sum2 += n * sum1 + weighted and
// sum1 += plain, which is what adding the words one at a time does.
struct WordRunSums {
  uint32_t plain;
  uint32_t weighted;
};
WordRunSums WordRunSumsOf(const uint8_t* data, uint32_t words);
