#include "platform/format.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr WCHAR kTerminator = 0;
constexpr WCHAR kPercent = u'%';
constexpr WCHAR kBlank = u' ';
constexpr WCHAR kZero = u'0';
constexpr int32_t kDefaultFloatPrecision = 6;
constexpr int32_t kNoPrecision = -1;
constexpr uint32_t kMaxFieldValue = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
constexpr uint32_t kDecimalBase = 10;
constexpr uint32_t kHexBase = 16;
constexpr size_t kMaxIntegerDigits = 10;  // 4294967295

// The longest fixed-point text of a double: sign, 309 integer digits, the
// point and 1074 fraction digits (the exact expansion of the smallest
// subnormal). Any further fraction digits are zeros, written without asking
// the host's printf for them.
constexpr int32_t kMaxExactFractionDigits = 1074;
constexpr size_t kMaxDoubleIntegerDigits = 309;
constexpr size_t kFloatTextSize = 1 + kMaxDoubleIntegerDigits + 1 + kMaxExactFractionDigits + 1;

constexpr WCHAR kNullText[] = u"(null)";

// The output buffer; once full it only records that text was lost, so
// padding loops can stop early instead of spinning through a huge width.
struct Sink {
  WCHAR* dest;
  size_t capacity;
  size_t length;
  bool truncated;
};

void Put(Sink* sink, WCHAR c) {
  if (sink->length + 1 < sink->capacity) {
    sink->dest[sink->length++] = c;
  } else {
    sink->truncated = true;
  }
}

void Repeat(Sink* sink, WCHAR c, size_t count) {
  for (size_t i = 0; i < count && !sink->truncated; ++i) Put(sink, c);
}

void PutUnits(Sink* sink, const WCHAR* text, size_t count) {
  for (size_t i = 0; i < count && !sink->truncated; ++i) Put(sink, text[i]);
}

void PutAscii(Sink* sink, const char* text, size_t count) {
  for (size_t i = 0; i < count && !sink->truncated; ++i) Put(sink, static_cast<WCHAR>(text[i]));
}

struct ConversionSpec {
  bool leftAlign;
  bool zeroPad;
  uint32_t width;
  int32_t precision;  // kNoPrecision when not given
  WCHAR conversion;
};

// A formatted number in pieces, so padding can go between sign and digits.
struct NumberParts {
  bool negative;
  size_t leadingZeros;   // digits demanded by an integer precision
  const char* body;
  size_t bodyLength;
  size_t trailingZeros;  // fraction digits beyond what was computed exactly
  bool zeroPadAllowed;   // not for inf and nan
};

size_t PaddingFor(uint32_t width, size_t contentLength) {
  return width > contentLength ? width - contentLength : 0;
}

void EmitNumber(Sink* sink, const ConversionSpec& spec, const NumberParts& parts) {
  constexpr WCHAR kMinus = u'-';
  const size_t content = (parts.negative ? 1 : 0) + parts.leadingZeros + parts.bodyLength + parts.trailingZeros;
  const size_t padding = PaddingFor(spec.width, content);
  const bool padWithZeros = !spec.leftAlign && spec.zeroPad && parts.zeroPadAllowed;
  if (!spec.leftAlign && !padWithZeros) Repeat(sink, kBlank, padding);
  if (parts.negative) Put(sink, kMinus);
  if (padWithZeros) Repeat(sink, kZero, padding);
  Repeat(sink, kZero, parts.leadingZeros);
  PutAscii(sink, parts.body, parts.bodyLength);
  Repeat(sink, kZero, parts.trailingZeros);
  if (spec.leftAlign) Repeat(sink, kBlank, padding);
}

void EmitText(Sink* sink, const ConversionSpec& spec, const WCHAR* text, size_t length) {
  const size_t padding = PaddingFor(spec.width, length);
  if (!spec.leftAlign) Repeat(sink, kBlank, padding);
  PutUnits(sink, text, length);
  if (spec.leftAlign) Repeat(sink, kBlank, padding);
}

void EmitInteger(Sink* sink, const ConversionSpec& spec, bool negative, uint32_t magnitude) {
  static constexpr char kLowerDigits[] = "0123456789abcdef";
  static constexpr char kUpperDigits[] = "0123456789ABCDEF";
  const bool hex = spec.conversion == u'x' || spec.conversion == u'X';
  const uint32_t base = hex ? kHexBase : kDecimalBase;
  const char* digitSet = spec.conversion == u'X' ? kUpperDigits : kLowerDigits;

  char digits[kMaxIntegerDigits];
  size_t count = 0;
  // Precision 0 with the value 0 prints no digits at all, as printf does.
  const bool noDigits = magnitude == 0 && spec.precision == 0;
  if (!noDigits) {
    do {
      digits[kMaxIntegerDigits - 1 - count] = digitSet[magnitude % base];
      magnitude /= base;
      ++count;
    } while (magnitude != 0);
  }
  const size_t minimum = spec.precision == kNoPrecision ? 0 : static_cast<size_t>(spec.precision);
  NumberParts parts{};
  parts.negative = negative;
  parts.leadingZeros = minimum > count ? minimum - count : 0;
  parts.body = digits + kMaxIntegerDigits - count;
  parts.bodyLength = count;
  // An explicit precision overrides the 0 flag for integers.
  parts.zeroPadAllowed = spec.precision == kNoPrecision;
  EmitNumber(sink, spec, parts);
}

void EmitFloat(Sink* sink, const ConversionSpec& spec, double value) {
  const int32_t precision = spec.precision == kNoPrecision ? kDefaultFloatPrecision : spec.precision;
  const int32_t exactDigits = precision < kMaxExactFractionDigits ? precision : kMaxExactFractionDigits;
  char text[kFloatTextSize];
  const int written = std::snprintf(text, sizeof(text), "%.*f", exactDigits, value);
  if (written < 0) return;
  size_t length = static_cast<size_t>(written) < sizeof(text) ? static_cast<size_t>(written) : sizeof(text) - 1;
  NumberParts parts{};
  parts.negative = std::signbit(value) && !std::isnan(value);
  parts.body = text;
  if (parts.negative && length > 0 && text[0] == '-') {
    ++parts.body;
    --length;
  }
  parts.bodyLength = length;
  parts.zeroPadAllowed = std::isfinite(value);
  parts.trailingZeros = std::isfinite(value) ? static_cast<size_t>(precision - exactDigits) : 0;
  EmitNumber(sink, spec, parts);
}

bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

// Reads a decimal field, saturating so a silly width cannot overflow.
uint32_t ReadNumber(const WCHAR** cursor) {
  uint32_t value = 0;
  while (IsDigit(**cursor)) {
    const uint32_t digit = static_cast<uint32_t>(**cursor - u'0');
    value = value > (kMaxFieldValue - digit) / kDecimalBase ? kMaxFieldValue : value * kDecimalBase + digit;
    ++*cursor;
  }
  return value;
}

void ReadFlags(const WCHAR** cursor, ConversionSpec* spec) {
  for (;; ++*cursor) {
    if (**cursor == u'-') {
      spec->leftAlign = true;
    } else if (**cursor == u'0') {
      spec->zeroPad = true;
    } else {
      return;
    }
  }
}

void ReadWidth(const WCHAR** cursor, ConversionSpec* spec, va_list* args) {
  if (**cursor != u'*') {
    spec->width = ReadNumber(cursor);
    return;
  }
  ++*cursor;
  const int32_t width = va_arg(*args, int32_t);
  if (width < 0) {
    spec->leftAlign = true;
    // Negating INT_MIN would overflow; the saturated field width serves.
    spec->width = width == std::numeric_limits<int32_t>::min() ? kMaxFieldValue : static_cast<uint32_t>(-width);
  } else {
    spec->width = static_cast<uint32_t>(width);
  }
}

void ReadPrecision(const WCHAR** cursor, ConversionSpec* spec, va_list* args) {
  if (**cursor != u'.') return;
  ++*cursor;
  if (**cursor != u'*') {
    spec->precision = static_cast<int32_t>(ReadNumber(cursor));
    return;
  }
  ++*cursor;
  const int32_t precision = va_arg(*args, int32_t);
  spec->precision = precision < 0 ? kNoPrecision : precision;
}

// Formats one parsed conversion; returns false when its letter is not one
// this formatter knows.
bool EmitConversion(Sink* sink, const ConversionSpec& spec, va_list* args) {
  switch (spec.conversion) {
    case u'd':
    case u'i': {
      const int32_t value = va_arg(*args, int32_t);
      const uint32_t magnitude = value < 0 ? 0U - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
      EmitInteger(sink, spec, value < 0, magnitude);
      return true;
    }
    case u'u':
    case u'x':
    case u'X':
      EmitInteger(sink, spec, false, va_arg(*args, uint32_t));
      return true;
    case u'c': {
      const WCHAR c = static_cast<WCHAR>(va_arg(*args, int));
      EmitText(sink, spec, &c, 1);
      return true;
    }
    case u's': {
      const WCHAR* text = va_arg(*args, const WCHAR*);
      size_t limit = spec.precision == kNoPrecision ? std::numeric_limits<size_t>::max()
                                                     : static_cast<size_t>(spec.precision);
      if (text == nullptr) text = kNullText;
      size_t length = 0;
      while (length < limit && text[length] != kTerminator) ++length;
      EmitText(sink, spec, text, length);
      return true;
    }
    case u'f':
      EmitFloat(sink, spec, va_arg(*args, double));
      return true;
    case kPercent:
      Put(sink, kPercent);
      return true;
    default:
      return false;
  }
}

void Format(Sink* sink, const WCHAR* format, va_list* args) {
  const WCHAR* cursor = format;
  while (*cursor != kTerminator && !sink->truncated) {
    if (*cursor != kPercent) {
      Put(sink, *cursor++);
      continue;
    }
    const WCHAR* start = cursor++;
    ConversionSpec spec{false, false, 0, kNoPrecision, kTerminator};
    ReadFlags(&cursor, &spec);
    ReadWidth(&cursor, &spec, args);
    ReadPrecision(&cursor, &spec, args);
    if (*cursor == u'l') ++cursor;  // long is 32 bits on the module
    spec.conversion = *cursor;
    if (spec.conversion != kTerminator && EmitConversion(sink, spec, args)) {
      ++cursor;
      continue;
    }
    // Unknown or cut-off conversion: show it as written.
    if (*cursor != kTerminator) ++cursor;
    PutUnits(sink, start, static_cast<size_t>(cursor - start));
  }
}

}  // namespace

int32_t StringCchVPrintfW(WCHAR* dest, size_t capacity, const WCHAR* format, va_list args) {
  if (dest == nullptr || capacity == 0 || capacity > STRSAFE_MAX_CCH) return STRSAFE_E_INVALID_PARAMETER;
  if (format == nullptr) {
    dest[0] = kTerminator;
    return STRSAFE_E_INVALID_PARAMETER;
  }
  Sink sink{dest, capacity, 0, false};
  va_list copy;
  va_copy(copy, args);
  Format(&sink, format, &copy);
  va_end(copy);
  dest[sink.length] = kTerminator;
  return sink.truncated ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

int32_t StringCchPrintfW(WCHAR* dest, size_t capacity, const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t result = StringCchVPrintfW(dest, capacity, format, args);
  va_end(args);
  return result;
}
