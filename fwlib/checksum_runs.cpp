#include "fwlib/checksum_runs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr uint32_t BYTE_BITS = 8;

uint32_t WordAt(const uint8_t* data, uint32_t index) {
  return uint32_t{data[2 * index]} | uint32_t{data[2 * index + 1]} << BYTE_BITS;
}

#if defined(__SSE2__)

constexpr uint32_t VECTOR_BYTES = 16;
constexpr uint32_t VECTOR_WORDS = VECTOR_BYTES / 2;
constexpr uint32_t UNROLL = 4;
constexpr int WORD_SIGN_BIT = 15;
constexpr int HALF_BITS = 16;

__m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

uint32_t Lanes32(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

#endif

}  // namespace

uint32_t ByteSumRun(uint32_t sum, const uint8_t* data, uint32_t length) {
  uint32_t i = 0;
#if defined(__SSE2__)
  // Sums of absolute differences against zero add up eight bytes at a time
  // into 64-bit lanes, which no 32-bit length can overflow.
  const __m128i zero = _mm_setzero_si128();
  __m128i total = zero;
  for (; i + UNROLL * VECTOR_BYTES <= length; i += UNROLL * VECTOR_BYTES) {
    __m128i a = _mm_add_epi64(_mm_sad_epu8(Load(data + i), zero), _mm_sad_epu8(Load(data + i + VECTOR_BYTES), zero));
    __m128i b = _mm_add_epi64(_mm_sad_epu8(Load(data + i + 2 * VECTOR_BYTES), zero),
                              _mm_sad_epu8(Load(data + i + 3 * VECTOR_BYTES), zero));
    total = _mm_add_epi64(total, _mm_add_epi64(a, b));
  }
  for (; i + VECTOR_BYTES <= length; i += VECTOR_BYTES) total = _mm_add_epi64(total, _mm_sad_epu8(Load(data + i), zero));
  total = _mm_add_epi64(total, _mm_unpackhi_epi64(total, total));
  sum += static_cast<uint32_t>(_mm_cvtsi128_si32(total));
#endif
  for (; i < length; i++) sum += data[i];
  return sum;
}

WordRunSums WordRunSumsOf(const uint8_t* data, uint32_t words) {
  WordRunSums s = {0, 0};
  uint32_t i = 0;
#if defined(__SSE2__)
  uint32_t vectors = words / VECTOR_WORDS;
  if (vectors != 0) {
    // Over the m = 8 * vectors words of the vectors, the weight of word
    // 8j + l is 8 (vectors - j) - l: eight times the running sums of the
    // vectors added up, less each word times its place l in its vector. The
    // multiply-add takes the words as signed; a word with its top bit set
    // is 65536 short, made up by the same sum over those top bits.
    const __m128i zero = _mm_setzero_si128();
    const __m128i place = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    __m128i sums = zero, running = zero, placed = zero, placedTop = zero;
    for (uint32_t v = 0; v < vectors; v++) {
      __m128i w = Load(data + v * VECTOR_BYTES);
      sums = _mm_add_epi32(sums, _mm_add_epi32(_mm_unpacklo_epi16(w, zero), _mm_unpackhi_epi16(w, zero)));
      running = _mm_add_epi32(running, sums);
      placed = _mm_add_epi32(placed, _mm_madd_epi16(w, place));
      placedTop = _mm_add_epi32(placedTop, _mm_madd_epi16(_mm_srli_epi16(w, WORD_SIGN_BIT), place));
    }
    i = vectors * VECTOR_WORDS;
    s.plain = Lanes32(sums);
    s.weighted = VECTOR_WORDS * Lanes32(running) - (Lanes32(placed) + (Lanes32(placedTop) << HALF_BITS));
  }
#endif
  // Word by word the weighted sum is the sum of the running sums; the words
  // before add their sum once for each word that follows them.
  for (; i < words; i++) {
    s.plain += WordAt(data, i);
    s.weighted += s.plain;
  }
  return s;
}
