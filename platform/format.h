// The printf-style formatter for WCHAR buffers of a known capacity.
//
// Conversions: %s (const WCHAR*, null prints "(null)"), %d %i %u %x %X
// (32-bit; an "l" before them changes nothing), %c (a WCHAR passed as int),
// %f (double, precision 6 unless given) and %%. Flags "-" (left-justify) and
// "0" (zero padding), a width and a precision, either of which may be "*"
// (taken from the arguments; a negative width left-justifies, a negative
// precision counts as none). Precision means the minimum digit count for
// integers, the maximum unit count for %s and the fraction digits for %f.
// An unknown conversion is copied to the output as written.
#pragma once

#include <cstdarg>

#include "platform/types.h"

constexpr int32_t S_OK = 0;
// The platform's HRESULT values, kept as the signed 32-bit numbers callers
// compare against.
constexpr int32_t STRSAFE_E_INSUFFICIENT_BUFFER = static_cast<int32_t>(0x8007007AU);
constexpr int32_t STRSAFE_E_INVALID_PARAMETER = static_cast<int32_t>(0x80070057U);

// Largest capacity the formatter accepts, as the platform's own limit.
constexpr size_t STRSAFE_MAX_CCH = 2147483647;

// Formats into `dest` (capacity units, terminator included). Returns S_OK
// when the whole text fit, STRSAFE_E_INSUFFICIENT_BUFFER when it was cut
// (dest then holds the first capacity - 1 units and the terminator), and
// STRSAFE_E_INVALID_PARAMETER for a null dest, capacity 0 or above
// STRSAFE_MAX_CCH (nothing written) or a null format (dest emptied).
int32_t StringCchPrintfW(WCHAR* dest, size_t capacity, const WCHAR* format, ...);
int32_t StringCchVPrintfW(WCHAR* dest, size_t capacity, const WCHAR* format, va_list args);
