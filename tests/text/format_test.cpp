#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdarg>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/text.h"

namespace {

constexpr WCHAR kGuard = 0xA5A5;
constexpr size_t kGuardUnits = 16;

struct Formatted {
  int32_t result;
  std::u16string text;
  bool guardIntact;
};

// Formats through the va_list form into exactly `capacity` units followed
// by a guard region that must come back untouched.
Formatted FormatInto(size_t capacity, const WCHAR* format, ...) {
  std::vector<WCHAR> buffer(capacity + kGuardUnits, kGuard);
  va_list args;
  va_start(args, format);
  Formatted out;
  out.result = StringCchVPrintfW(buffer.data(), capacity, format, args);
  va_end(args);
  out.text.assign(buffer.data(), TextLengthBounded(buffer.data(), capacity));
  out.guardIntact = true;
  for (size_t i = capacity; i < buffer.size(); ++i) out.guardIntact = out.guardIntact && buffer[i] == kGuard;
  return out;
}

constexpr size_t kRoomy = 256;
constexpr const WCHAR* kNoText = nullptr;

TEST(Formatter, TheProgramsOwnFormats) {
  WCHAR buffer[kRoomy];
  EXPECT_EQ(S_OK, StringCchPrintfW(buffer, kRoomy, u"Flashwright %d.%d.%d", 3, 7, 1));
  EXPECT_EQ(std::u16string(u"Flashwright 3.7.1"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"Image Start: %.8x\nImage Len: %.8x (%d)", 0x40000, 0x1a2b3c, 0x1a2b3c);
  EXPECT_EQ(std::u16string(u"Image Start: 00040000\nImage Len: 001a2b3c (1715004)"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"0x%x (%s)", 0x8000, u"32 KB");
  EXPECT_EQ(std::u16string(u"0x8000 (32 KB)"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"Validating File %d%%", 42);
  EXPECT_EQ(std::u16string(u"Validating File 42%"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"FWLInit: Unknown Error: %d", -5);
  EXPECT_EQ(std::u16string(u"FWLInit: Unknown Error: -5"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"Ver:\t%d.%d %s (CE %d.%d)", 2, 14, u"BETA", 5, 0);
  EXPECT_EQ(std::u16string(u"Ver:\t2.14 BETA (CE 5.0)"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"Unknown Command parameter: %c\n\r", u'x');
  EXPECT_EQ(std::u16string(u"Unknown Command parameter: x\n\r"), buffer);
  StringCchPrintfW(buffer, kRoomy, u"%.2f MB", 1.5);
  EXPECT_EQ(std::u16string(u"1.50 MB"), buffer);
}

TEST(Formatter, WidthPrecisionAndFlags) {
  struct Case {
    const char16_t* expected;
    Formatted got;
  };
  const Case cases[] = {
      {u"   42|42   |00042", FormatInto(kRoomy, u"%5d|%-5d|%05d", 42, 42, 42)},
      {u"-0042|  -42|-42  ", FormatInto(kRoomy, u"%05d|%5d|%-5d", -42, -42, -42)},
      {u"     007|     007", FormatInto(kRoomy, u"%8.3d|%08.3d", 7, 7)},  // precision beats the 0 flag
      {u"ABCDEF|abcdef|0000ABCD", FormatInto(kRoomy, u"%X|%x|%.8X", 0xABCDEF, 0xABCDEF, 0xABCD)},
      {u"abc|ab    |    ab", FormatInto(kRoomy, u"%.3s|%-6s|%6s", u"abcdef", u"ab", u"ab")},
      {u"   7|7   |7   |xy", FormatInto(kRoomy, u"%*d|%-*d|%*d|%.*s", 4, 7, 4, 7, -4, 7, 2, u"xyz")},
      {u"(null)|(nu", FormatInto(kRoomy, u"%s|%.3s", kNoText, kNoText)},
      {u"ok|  !", FormatInto(kRoomy, u"%c%c|%3c", u'o', u'k', u'!')},
      {u"[]|[1]", FormatInto(kRoomy, u"[%.0d]|[%.0x]", 0, 1)},
      {u"3.141593|2.8|-0012.50|  1.0", FormatInto(kRoomy, u"%f|%.1f|%08.2f|%5.1f", 3.14159265, 2.75, -12.5, 1.0)},
      {u"-1 4000000000 deadbeef", FormatInto(kRoomy, u"%ld %lu %lx", -1, 4000000000U, 0xdeadbeefU)},
      {u"-2147483648|-2147483648 |4294967295|ffffffff",
       FormatInto(kRoomy, u"%d|%-12d|%u|%x", INT_MIN, INT_MIN, UINT_MAX, UINT_MAX)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(S_OK, c.got.result) << std::string(c.got.text.begin(), c.got.text.end());
    EXPECT_EQ(std::u16string(c.expected), c.got.text);
  }
}

TEST(Formatter, UnknownOrUnfinishedConversionsAreCopiedAsWritten) {
  EXPECT_EQ(std::u16string(u"%q %5k 7 %lld 100%"), FormatInto(kRoomy, u"%q %5k %d %lld 100%", 7).text);
  EXPECT_EQ(std::u16string(u"50%-"), FormatInto(kRoomy, u"50%-").text);
}

TEST(Formatter, FloatsBeyondExactDigitsKeepTheirLength) {
  const Formatted one = FormatInto(1200, u"%.1100f", 1.0);
  ASSERT_EQ(S_OK, one.result);
  EXPECT_EQ(u"1." + std::u16string(1100, u'0'), one.text);
  // 2^-1074 has exactly 1074 fraction digits, the last one a 5.
  const Formatted tiny = FormatInto(1200, u"%.1074f", 4.9406564584124654e-324);
  ASSERT_EQ(1076U, tiny.text.size());
  EXPECT_EQ(u'5', tiny.text.back());
  EXPECT_EQ(std::u16string(u"  inf|nan"), FormatInto(kRoomy, u"%05f|%f", HUGE_VAL, NAN).text);
}

TEST(Formatter, TruncatesExactlyAtCapacityAndNeverPastIt) {
  const Formatted fits = FormatInto(4, u"abc");
  EXPECT_EQ(S_OK, fits.result);
  EXPECT_EQ(std::u16string(u"abc"), fits.text);

  const Formatted cut = FormatInto(4, u"ab%d", 1234);
  EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, cut.result);
  EXPECT_EQ(std::u16string(u"ab1"), cut.text);
  EXPECT_TRUE(cut.guardIntact);

  const Formatted one = FormatInto(1, u"%s", u"x");
  EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, one.result);
  EXPECT_EQ(std::u16string(), one.text);
  EXPECT_TRUE(one.guardIntact);
  EXPECT_EQ(S_OK, FormatInto(1, u"%s", u"").result);

  // A huge width or precision stops at the buffer's end instead of spinning.
  const Formatted wide = FormatInto(8, u"%2147483647d|%.*f", 1, INT_MAX, 1.0);
  EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, wide.result);
  EXPECT_EQ(std::u16string(7, u' '), wide.text);
  EXPECT_TRUE(wide.guardIntact);
  const Formatted overflowWidth = FormatInto(8, u"%99999999999999d", 1);
  EXPECT_EQ(STRSAFE_E_INSUFFICIENT_BUFFER, overflowWidth.result);
  EXPECT_TRUE(overflowWidth.guardIntact);
}

TEST(Formatter, RefusesBadBuffersWithoutWriting) {
  WCHAR buffer[4] = {kGuard, kGuard, kGuard, kGuard};
  EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buffer, 0, u"x"));
  EXPECT_EQ(kGuard, buffer[0]);
  EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(nullptr, 4, u"x"));
  EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buffer, STRSAFE_MAX_CCH + 1, u"x"));
  EXPECT_EQ(kGuard, buffer[0]);
  EXPECT_EQ(STRSAFE_E_INVALID_PARAMETER, StringCchPrintfW(buffer, 4, nullptr));
  EXPECT_EQ(0, buffer[0]);
}

}  // namespace
