#include "platform/text.h"

namespace {

constexpr WCHAR kTerminator = 0;

// A stretch of code points sharing one rule for their lower case. In an
// alternating stretch only first, first + 2, ... are capitals, each followed
// by its small letter, which is how Latin Extended-A and the Cyrillic
// supplements are laid out.
struct LowerRange {
  char16_t first;
  char16_t last;
  int32_t delta;
  bool alternating;
};

constexpr LowerRange kLowerRanges[] = {
    {0x0041, 0x005A, 0x20, false},    // A-Z
    {0x00C0, 0x00D6, 0x20, false},    // Latin-1 capitals before the multiplication sign
    {0x00D8, 0x00DE, 0x20, false},    // and after it
    {0x0100, 0x012F, 1, true},        // Latin Extended-A pairs
    {0x0130, 0x0130, 0x69 - 0x130, false},  // dotted capital I lowers to plain i
    {0x0132, 0x0137, 1, true},
    {0x0139, 0x0148, 1, true},
    {0x014A, 0x0177, 1, true},
    {0x0178, 0x0178, 0xFF - 0x178, false},  // capital Y with diaeresis lives in Latin-1
    {0x0179, 0x017E, 1, true},
    {0x0386, 0x0386, 0x3AC - 0x386, false},  // Greek capitals with tonos
    {0x0388, 0x038A, 0x3AD - 0x388, false},
    {0x038C, 0x038C, 0x3CC - 0x38C, false},
    {0x038E, 0x038F, 0x3CD - 0x38E, false},
    {0x0391, 0x03A1, 0x20, false},    // Greek alpha to rho
    {0x03A3, 0x03AB, 0x20, false},    // sigma to upsilon with dialytika (0x3A2 is unassigned)
    {0x0400, 0x040F, 0x50, false},    // Cyrillic capitals with marks
    {0x0410, 0x042F, 0x20, false},    // basic Cyrillic
    {0x0460, 0x0481, 1, true},        // historic Cyrillic pairs
    {0x048A, 0x04BF, 1, true},
    {0x04C0, 0x04C0, 0x4CF - 0x4C0, false},  // palochka
    {0x04C1, 0x04CE, 1, true},
    {0x04D0, 0x052F, 1, true},
    {0x0531, 0x0556, 0x30, false},    // Armenian
    {0xFF21, 0xFF3A, 0x20, false},    // full-width A-Z
};

constexpr char16_t kHighSurrogateFirst = 0xD800;
constexpr char16_t kLowSurrogateFirst = 0xDC00;
constexpr char16_t kLowSurrogateLast = 0xDFFF;
constexpr char32_t kFirstSupplementary = 0x10000;
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr uint32_t kSurrogateBits = 10;
constexpr uint32_t kSurrogateMask = 0x3FF;

bool IsHighSurrogate(char16_t c) { return c >= kHighSurrogateFirst && c < kLowSurrogateFirst; }
bool IsLowSurrogate(char16_t c) { return c >= kLowSurrogateFirst && c <= kLowSurrogateLast; }

// UTF-8 byte classes.
constexpr uint8_t kContinuationFirst = 0x80;
constexpr uint8_t kContinuationLast = 0xBF;
constexpr uint8_t kContinuationPayloadMask = 0x3F;
constexpr uint32_t kContinuationBits = 6;
constexpr uint8_t kAsciiLast = 0x7F;

// What a lead byte announces: how many continuation bytes follow, the bits
// it carries itself, and the range the first continuation byte must fall in
// (narrowed for leads that could otherwise spell overlong forms, surrogates
// or values beyond U+10FFFF).
struct Utf8Lead {
  uint32_t continuations;
  uint8_t payloadMask;
  uint8_t secondFirst;
  uint8_t secondLast;
};

bool ClassifyLead(uint8_t lead, Utf8Lead* out) {
  if (lead >= 0xC2 && lead <= 0xDF) {
    *out = {1, 0x1F, kContinuationFirst, kContinuationLast};
  } else if (lead == 0xE0) {
    *out = {2, 0x0F, 0xA0, kContinuationLast};  // below A0 would be overlong
  } else if (lead == 0xED) {
    *out = {2, 0x0F, kContinuationFirst, 0x9F};  // above 9F would be a surrogate
  } else if (lead >= 0xE1 && lead <= 0xEF) {
    *out = {2, 0x0F, kContinuationFirst, kContinuationLast};
  } else if (lead == 0xF0) {
    *out = {3, 0x07, 0x90, kContinuationLast};  // below 90 would be overlong
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    *out = {3, 0x07, kContinuationFirst, kContinuationLast};
  } else if (lead == 0xF4) {
    *out = {3, 0x07, kContinuationFirst, 0x8F};  // above 8F would pass U+10FFFF
  } else {
    return false;
  }
  return true;
}

void AppendCodePoint(std::u16string* out, char32_t cp) {
  if (cp < kFirstSupplementary) {
    out->push_back(static_cast<char16_t>(cp));
    return;
  }
  const char32_t offset = cp - kFirstSupplementary;
  out->push_back(static_cast<char16_t>(kHighSurrogateFirst + (offset >> kSurrogateBits)));
  out->push_back(static_cast<char16_t>(kLowSurrogateFirst + (offset & kSurrogateMask)));
}

void AppendUtf8(std::string* out, char32_t cp) {
  constexpr char32_t kOneByteLimit = 0x80;
  constexpr char32_t kTwoByteLimit = 0x800;
  constexpr uint8_t kTwoByteLead = 0xC0;
  constexpr uint8_t kThreeByteLead = 0xE0;
  constexpr uint8_t kFourByteLead = 0xF0;
  auto continuation = [](char32_t bits) {
    return static_cast<char>(kContinuationFirst | (bits & kContinuationPayloadMask));
  };
  if (cp < kOneByteLimit) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < kTwoByteLimit) {
    out->push_back(static_cast<char>(kTwoByteLead | (cp >> kContinuationBits)));
    out->push_back(continuation(cp));
  } else if (cp < kFirstSupplementary) {
    out->push_back(static_cast<char>(kThreeByteLead | (cp >> (2 * kContinuationBits))));
    out->push_back(continuation(cp >> kContinuationBits));
    out->push_back(continuation(cp));
  } else {
    out->push_back(static_cast<char>(kFourByteLead | (cp >> (3 * kContinuationBits))));
    out->push_back(continuation(cp >> (2 * kContinuationBits)));
    out->push_back(continuation(cp >> kContinuationBits));
    out->push_back(continuation(cp));
  }
}

// Copies at most `count` units of `source` and terminates; the caller has
// made sure count < capacity.
void CopyUnits(WCHAR* dest, const WCHAR* source, size_t count) {
  for (size_t i = 0; i < count; ++i) dest[i] = source[i];
  dest[count] = kTerminator;
}

}  // namespace

size_t TextLength(const WCHAR* text) {
  if (text == nullptr) return 0;
  size_t length = 0;
  while (text[length] != kTerminator) ++length;
  return length;
}

size_t TextLengthBounded(const WCHAR* text, size_t limit) {
  if (text == nullptr) return 0;
  size_t length = 0;
  while (length < limit && text[length] != kTerminator) ++length;
  return length;
}

bool TextCopy(WCHAR* dest, size_t capacity, const WCHAR* source) {
  if (dest == nullptr || capacity == 0) return false;
  // Measuring only as far as the room avoids walking a huge source.
  const size_t length = TextLengthBounded(source, capacity);
  const bool fits = length < capacity;
  CopyUnits(dest, source, fits ? length : capacity - 1);
  return fits;
}

bool TextCopyField(WCHAR* dest, size_t capacity, const WCHAR* field, size_t fieldChars) {
  if (dest == nullptr || capacity == 0) return false;
  const size_t length = TextLengthBounded(field, fieldChars);
  const bool fits = length < capacity;
  CopyUnits(dest, field, fits ? length : capacity - 1);
  return fits;
}

bool TextAppend(WCHAR* dest, size_t capacity, const WCHAR* source) {
  if (dest == nullptr) return false;
  const size_t used = TextLengthBounded(dest, capacity);
  if (used >= capacity) return false;
  return TextCopy(dest + used, capacity - used, source);
}

int TextCompare(const WCHAR* a, const WCHAR* b) {
  static constexpr WCHAR kEmpty[] = u"";
  if (a == nullptr) a = kEmpty;
  if (b == nullptr) b = kEmpty;
  size_t i = 0;
  while (a[i] != kTerminator && a[i] == b[i]) ++i;
  return static_cast<int>(a[i]) - static_cast<int>(b[i]);
}

int TextCompareNoCase(const WCHAR* a, const WCHAR* b) {
  static constexpr WCHAR kEmpty[] = u"";
  if (a == nullptr) a = kEmpty;
  if (b == nullptr) b = kEmpty;
  size_t i = 0;
  while (a[i] != kTerminator && TextToLower(a[i]) == TextToLower(b[i])) ++i;
  return static_cast<int>(TextToLower(a[i])) - static_cast<int>(TextToLower(b[i]));
}

bool TextEqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (TextToLower(a[i]) != TextToLower(b[i])) return false;
  }
  return true;
}

WCHAR TextToLower(WCHAR c) {
  for (const LowerRange& range : kLowerRanges) {
    if (c < range.first || c > range.last) continue;
    if (range.alternating && (c - range.first) % 2 != 0) return c;  // already small
    return static_cast<WCHAR>(c + range.delta);
  }
  return c;
}

void TextLowerInPlace(WCHAR* text) {
  if (text == nullptr) return;
  for (; *text != kTerminator; ++text) *text = TextToLower(*text);
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    const uint8_t lead = static_cast<uint8_t>(utf8[pos]);
    if (lead <= kAsciiLast) {
      out.push_back(lead);
      ++pos;
      continue;
    }
    Utf8Lead info;
    if (!ClassifyLead(lead, &info)) {
      out.push_back(kReplacementCharacter);
      ++pos;
      continue;
    }
    char32_t cp = lead & info.payloadMask;
    size_t taken = 1;
    bool complete = true;
    for (uint32_t i = 1; i <= info.continuations; ++i) {
      const uint8_t low = i == 1 ? info.secondFirst : kContinuationFirst;
      const uint8_t high = i == 1 ? info.secondLast : kContinuationLast;
      if (pos + i >= utf8.size()) {
        complete = false;
        break;
      }
      const uint8_t byte = static_cast<uint8_t>(utf8[pos + i]);
      if (byte < low || byte > high) {
        complete = false;
        break;
      }
      cp = (cp << kContinuationBits) | (byte & kContinuationPayloadMask);
      ++taken;
    }
    // The bytes that matched so far form one ill-formed piece; the byte
    // that broke the sequence starts afresh.
    AppendCodePoint(&out, complete ? cp : kReplacementCharacter);
    pos += taken;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    char32_t cp = unit;
    if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      cp = kFirstSupplementary + ((static_cast<char32_t>(unit - kHighSurrogateFirst) << kSurrogateBits) |
                                  static_cast<char32_t>(utf16[i + 1] - kLowSurrogateFirst));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      cp = kReplacementCharacter;
    }
    static_assert(kMaxCodePoint == kFirstSupplementary + ((kSurrogateMask << kSurrogateBits) | kSurrogateMask));
    AppendUtf8(&out, cp);
  }
  return out;
}

bool TextCopyUtf8(WCHAR* dest, size_t capacity, std::string_view utf8) {
  if (dest == nullptr || capacity == 0) return false;
  const std::u16string wide = Utf8ToUtf16(utf8);
  const bool fits = wide.size() < capacity;
  size_t count = fits ? wide.size() : capacity - 1;
  if (!fits && count > 0 && IsHighSurrogate(wide[count - 1])) --count;
  CopyUnits(dest, wide.data(), count);
  return fits;
}
