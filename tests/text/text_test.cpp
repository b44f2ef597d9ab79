#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>

#include "platform/text.h"

namespace {

constexpr WCHAR kGuard = 0xA5A5;

TEST(TextCopy, FitsTruncatesAndNeverWritesPastCapacity) {
  WCHAR buffer[6] = {kGuard, kGuard, kGuard, kGuard, kGuard, kGuard};
  EXPECT_TRUE(TextCopy(buffer, 4, u"abc"));
  EXPECT_EQ(std::u16string(u"abc"), buffer);

  std::fill(std::begin(buffer), std::end(buffer), kGuard);
  EXPECT_FALSE(TextCopy(buffer, 4, u"abcd"));
  EXPECT_EQ(std::u16string(u"abc"), buffer);
  EXPECT_EQ(kGuard, buffer[4]);

  EXPECT_FALSE(TextCopy(buffer, 1, u"a"));
  EXPECT_EQ(0, buffer[0]);
  buffer[0] = kGuard;
  EXPECT_FALSE(TextCopy(buffer, 0, u"a"));
  EXPECT_EQ(kGuard, buffer[0]);
  EXPECT_TRUE(TextCopy(buffer, 2, nullptr));
  EXPECT_EQ(0, buffer[0]);
}

TEST(TextCopy, AppendKeepsToCapacityAndRefusesUnterminatedText) {
  WCHAR buffer[8] = u"ab";
  EXPECT_TRUE(TextAppend(buffer, 8, u"cd"));
  EXPECT_EQ(std::u16string(u"abcd"), buffer);
  EXPECT_FALSE(TextAppend(buffer, 8, u"efghij"));
  EXPECT_EQ(std::u16string(u"abcdefg"), buffer);

  WCHAR full[3] = {u'x', u'y', u'z'};
  EXPECT_FALSE(TextAppend(full, 3, u"!"));
  EXPECT_EQ(u'z', full[2]);
}

TEST(TextCompare, OrdersAndIgnoresCaseOnRequest) {
  EXPECT_EQ(0, TextCompare(u"abc", u"abc"));
  EXPECT_LT(TextCompare(u"abc", u"abd"), 0);
  EXPECT_LT(TextCompare(u"ab", u"abc"), 0);
  EXPECT_GT(TextCompare(u"b", u"abc"), 0);
  EXPECT_NE(0, TextCompare(u"ABC", u"abc"));
  EXPECT_EQ(0, TextCompare(nullptr, u""));

  EXPECT_EQ(0, TextCompareNoCase(u"\\USB HD\\NK.BIN", u"\\usb hd\\nk.bin"));
  EXPECT_NE(0, TextCompareNoCase(u"Straße", u"STRASSE"));  // case mapping, not folding
  EXPECT_EQ(0, TextCompareNoCase(u"ÄÖÜ", u"äöü"));
  EXPECT_LT(TextCompareNoCase(u"ABC", u"abd"), 0);
  EXPECT_GT(TextCompareNoCase(u"abc", u"AB"), 0);
  EXPECT_TRUE(TextEqualNoCase(u"Temp", u"TEMP"));
  EXPECT_FALSE(TextEqualNoCase(u"Temp", u"Temp2"));
}

TEST(TextLower, LowersTheScriptsTheModuleKnows) {
  WCHAR text[] = u"HELLO World 123 ÀÉÖ×ØÞß ĀāĞŁŸŽİ ΑΣΩΆΏ ЁЖЯ ԱՖ ＡＺ 漢字";
  TextLowerInPlace(text);
  EXPECT_EQ(std::u16string(u"hello world 123 àéö×øþß āāğłÿži ασωάώ ёжя աֆ ａｚ 漢字"), text);
  TextLowerInPlace(nullptr);
}

TEST(TextLower, IsStableOnItsOwnResult) {
  // Lowering twice must change nothing: a range off by one would turn a
  // small letter into the next capital.
  for (uint32_t c = 0; c <= 0xFFFF; ++c) {
    const WCHAR once = TextToLower(static_cast<WCHAR>(c));
    ASSERT_EQ(once, TextToLower(once)) << std::hex << c;
  }
}

TEST(Utf, RoundTripsEveryPlane) {
  const std::string utf8 = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E \xF4\x8F\xBF\xBF";
  const std::u16string utf16 = Utf8ToUtf16(utf8);
  EXPECT_EQ(std::u16string(u"héllo € \U0001D11E \U0010FFFF"), utf16);
  EXPECT_EQ(utf8, Utf16ToUtf8(utf16));
  EXPECT_EQ(std::u16string(), Utf8ToUtf16(""));
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
  const std::u16string r(1, kReplacementCharacter);
  EXPECT_EQ(u"a" + r, Utf8ToUtf16("a\xC3"));                    // cut off
  EXPECT_EQ(r + u"A", Utf8ToUtf16("\xE2\x82" "A"));             // cut off mid-text
  EXPECT_EQ(r + r, Utf8ToUtf16("\xC0\xAF"));                    // overlong
  EXPECT_EQ(r + r + r, Utf8ToUtf16("\xE0\x80\xAF"));            // overlong
  EXPECT_EQ(r + r + r, Utf8ToUtf16("\xED\xA0\x80"));            // surrogate
  EXPECT_EQ(r + r + r + r, Utf8ToUtf16("\xF4\x90\x80\x80"));    // above U+10FFFF
  EXPECT_EQ(r + r + u"x", Utf8ToUtf16("\xFF\x80x"));            // bad lead, stray continuation

  EXPECT_EQ("\xEF\xBF\xBDx", Utf16ToUtf8(u"\xD800x"));          // high without low
  EXPECT_EQ("x\xEF\xBF\xBD", Utf16ToUtf8(u"x\xDC00"));          // low alone
  EXPECT_EQ("\xEF\xBF\xBD", Utf16ToUtf8(std::u16string(1, 0xD83D)));  // high at the end
}

TEST(Utf, CopyIntoBufferNeverSplitsAPair) {
  WCHAR buffer[5] = {kGuard, kGuard, kGuard, kGuard, kGuard};
  EXPECT_TRUE(TextCopyUtf8(buffer, 4, "a\xF0\x9D\x84\x9E"));
  EXPECT_EQ(std::u16string(u"a\U0001D11E"), buffer);
  EXPECT_FALSE(TextCopyUtf8(buffer, 3, "a\xF0\x9D\x84\x9E"));
  EXPECT_EQ(std::u16string(u"a"), buffer);
  buffer[0] = kGuard;
  EXPECT_FALSE(TextCopyUtf8(buffer, 0, "a"));
  EXPECT_EQ(kGuard, buffer[0]);
}

}  // namespace
