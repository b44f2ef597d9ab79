// UTF-16 text as the module keeps it: terminated WCHAR strings in buffers of
// a known capacity (in units, terminator included), and conversion to and
// from the host's UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

// Units before the terminator; a null text has length 0.
size_t TextLength(const WCHAR* text);

// Like TextLength, but never looks at more than `limit` units, for fields
// that need not be terminated.
size_t TextLengthBounded(const WCHAR* text, size_t limit);

// Copies `source` into `dest` (capacity units, terminator included). Always
// terminates when capacity > 0 and never writes past capacity. Returns true
// when the whole text fit, false when it was cut (or capacity is 0).
// A null source copies as the empty text.
bool TextCopy(WCHAR* dest, size_t capacity, const WCHAR* source);

// Copies a fixed-size text field of `fieldChars` units that need not be
// terminated, looking at nothing past it; `dest` is cut and terminated like
// TextCopy's. Returns true when the whole text fit.
bool TextCopyField(WCHAR* dest, size_t capacity, const WCHAR* field, size_t fieldChars);

// Appends `source` to the terminated text in `dest`, with TextCopy's rules.
// Returns false, writing nothing, when `dest` holds no terminator within
// capacity.
bool TextAppend(WCHAR* dest, size_t capacity, const WCHAR* source);

// Unit-by-unit comparison: negative, zero or positive like strcmp. Null
// compares as the empty text.
int TextCompare(const WCHAR* a, const WCHAR* b);

// As TextCompare, with both sides lower-cased unit by unit first.
int TextCompareNoCase(const WCHAR* a, const WCHAR* b);

// Equality without regard to case, for names held as views.
bool TextEqualNoCase(std::u16string_view a, std::u16string_view b);

// The lower case of one unit as the module's OS maps it (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic, Armenian, full-width Latin); anything
// without a lower case comes back unchanged.
WCHAR TextToLower(WCHAR c);

// Lower-cases a terminated text in place; a null text is left alone.
void TextLowerInPlace(WCHAR* text);

// The replacement for malformed input in either direction.
constexpr char16_t kReplacementCharacter = 0xFFFD;

// UTF-8 to UTF-16. Each maximal ill-formed subsequence (bad lead byte,
// overlong form, surrogate, value above U+10FFFF, cut-off sequence) becomes
// one U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Converts `utf8` into `dest` with TextCopy's capacity rules; a cut never
// leaves half of a surrogate pair behind. Returns true when all of it fit.
bool TextCopyUtf8(WCHAR* dest, size_t capacity, std::string_view utf8);
