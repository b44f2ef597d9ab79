#include "module/registry_text.h"

#include <cstddef>

namespace {

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr char16_t kPathSeparator = u'\\';
constexpr std::string_view kHexDigits = "0123456789abcdef";
constexpr std::string_view kDwordPrefix = "dword:";
constexpr std::string_view kMultiSzPrefix = "multi_sz:";
constexpr std::string_view kHexPrefix = "hex";
constexpr char kDefaultValueName = '@';
constexpr char kCommentLead = ';';
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

constexpr char16_t kFirstPrintable = 0x20;
constexpr char16_t kDelete = 0x7F;
constexpr char16_t kHighSurrogateFirst = 0xD800;
constexpr char16_t kLowSurrogateFirst = 0xDC00;
constexpr char16_t kSurrogateEnd = 0xE000;  // one past the last low surrogate
constexpr uint32_t kSupplementaryBase = 0x10000;
constexpr uint32_t kMaxCodePoint = 0x10FFFF;
constexpr size_t kEscapeHexDigits = 4;      // \uHHHH
constexpr size_t kDwordMaxHexDigits = 8;
constexpr size_t kTypeMaxHexDigits = 8;
constexpr size_t kByteMaxHexDigits = 2;

bool IsHighSurrogate(char16_t c) { return c >= kHighSurrogateFirst && c < kLowSurrogateFirst; }
bool IsLowSurrogate(char16_t c) { return c >= kLowSurrogateFirst && c < kSurrogateEnd; }
bool IsSurrogate(char16_t c) { return c >= kHighSurrogateFirst && c < kSurrogateEnd; }

// ---- writing ----

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < kSupplementaryBase) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendHex(std::string* out, uint64_t value, size_t minDigits) {
  char digits[16];
  size_t n = 0;
  do {
    digits[n++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0 && n < sizeof digits);
  while (n < minDigits && n < sizeof digits) digits[n++] = '0';
  while (n > 0) out->push_back(digits[--n]);
}

// Text the UTF-8 file can hold verbatim goes in as is; line breaks, other
// controls and lone surrogates become \uHHHH so any unit sequence survives.
void AppendQuoted(std::string* out, std::u16string_view text) {
  out->push_back('"');
  for (size_t i = 0; i < text.size(); i++) {
    char16_t c = text[i];
    if (c == u'"' || c == u'\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      uint32_t cp = kSupplementaryBase + ((uint32_t{c} - kHighSurrogateFirst) << 10) +
                    (uint32_t{text[i + 1]} - kLowSurrogateFirst);
      AppendUtf8(out, cp);
      i++;
    } else if (c < kFirstPrintable || c == kDelete || IsSurrogate(c)) {
      out->append("\\u");
      AppendHex(out, c, kEscapeHexDigits);
    } else {
      AppendUtf8(out, c);
    }
  }
  out->push_back('"');
}

// Key names are checked when keys are made, so they need no escapes; a lone
// surrogate that slipped in anyway is written as U+FFFD rather than as bytes
// no reader accepts.
void AppendKeyName(std::string* out, std::u16string_view path) {
  for (size_t i = 0; i < path.size(); i++) {
    char16_t c = path[i];
    if (IsHighSurrogate(c) && i + 1 < path.size() && IsLowSurrogate(path[i + 1])) {
      AppendUtf8(out, kSupplementaryBase + ((uint32_t{c} - kHighSurrogateFirst) << 10) +
                          (uint32_t{path[i + 1]} - kLowSurrogateFirst));
      i++;
    } else {
      AppendUtf8(out, IsSurrogate(c) ? 0xFFFD : c);
    }
  }
}

std::u16string UnitsOf(const std::vector<uint8_t>& bytes) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return units;
}

// A clean string is whole units ending in exactly one terminator.
bool CleanString(const std::vector<uint8_t>& bytes, std::u16string* text) {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) return false;
  std::u16string units = UnitsOf(bytes);
  if (units.back() != 0) return false;
  units.pop_back();
  if (units.find(u'\0') != std::u16string::npos) return false;
  *text = units;
  return true;
}

// A clean list is one or more non-empty terminated strings and a final terminator.
bool CleanMultiSz(const std::vector<uint8_t>& bytes, std::vector<std::u16string>* parts) {
  if (bytes.size() < 4 || bytes.size() % 2 != 0) return false;
  std::u16string units = UnitsOf(bytes);
  if (units[units.size() - 1] != 0 || units[units.size() - 2] != 0) return false;
  parts->clear();
  size_t start = 0;
  for (size_t i = 0; i + 1 < units.size(); i++) {
    if (units[i] != 0) continue;
    if (i == start) return false;  // an empty string would end the list early
    parts->push_back(units.substr(start, i - start));
    start = i + 1;
  }
  return true;
}

void AppendHexBytes(std::string* out, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); i++) {
    if (i > 0) out->push_back(',');
    AppendHex(out, bytes[i], kByteMaxHexDigits);
  }
}

void AppendValue(std::string* out, const RegValue& value) {
  if (value.name.empty()) out->push_back(kDefaultValueName);
  else AppendQuoted(out, value.name);
  out->push_back('=');
  std::u16string text;
  std::vector<std::u16string> parts;
  if (value.type == REG_SZ && CleanString(value.data, &text)) {
    AppendQuoted(out, text);
  } else if (value.type == REG_DWORD && value.data.size() == sizeof(uint32_t)) {
    uint32_t v = uint32_t{value.data[0]} | uint32_t{value.data[1]} << 8 | uint32_t{value.data[2]} << 16 |
                 uint32_t{value.data[3]} << 24;
    out->append(kDwordPrefix);
    AppendHex(out, v, kDwordMaxHexDigits);
  } else if (value.type == REG_MULTI_SZ && CleanMultiSz(value.data, &parts)) {
    out->append(kMultiSzPrefix);
    for (size_t i = 0; i < parts.size(); i++) {
      if (i > 0) out->push_back(',');
      AppendQuoted(out, parts[i]);
    }
  } else {
    out->append(kHexPrefix);
    if (value.type != REG_BINARY) {
      out->push_back('(');
      AppendHex(out, value.type, 1);
      out->push_back(')');
    }
    out->push_back(':');
    AppendHexBytes(out, value.data);
  }
  out->push_back('\n');
}

// ---- reading ----

struct Cursor {
  std::string_view line;
  size_t pos = 0;
  bool AtEnd() const { return pos >= line.size(); }
  char Peek() const { return AtEnd() ? '\0' : line[pos]; }
};

void SkipBlanks(Cursor* c) {
  while (!c->AtEnd() && (c->Peek() == ' ' || c->Peek() == '\t')) c->pos++;
}

bool ConsumeWord(Cursor* c, std::string_view word) {
  if (c->line.size() - c->pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); i++) {
    char a = c->line[c->pos + i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    char b = word[i];
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  c->pos += word.size();
  return true;
}

int HexDigitValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// 1..maxDigits hex digits.
bool ParseHexNumber(Cursor* c, size_t maxDigits, uint32_t* value) {
  size_t digits = 0;
  uint32_t v = 0;
  while (!c->AtEnd() && HexDigitValue(c->Peek()) >= 0) {
    if (++digits > maxDigits) return false;
    v = (v << 4) | static_cast<uint32_t>(HexDigitValue(c->Peek()));
    c->pos++;
  }
  *value = v;
  return digits > 0;
}

// One code point of strict UTF-8 (no overlong forms, surrogates or values
// beyond U+10FFFF).
bool DecodeUtf8(Cursor* c, uint32_t* cp) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(c->line[c->pos + i]); };
  size_t left = c->line.size() - c->pos;
  uint8_t lead = byte(0);
  size_t extra;
  uint32_t value, minimum;
  if (lead < 0x80) {
    *cp = lead;
    c->pos++;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, value = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, value = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, value = lead & 0x07, minimum = kSupplementaryBase;
  } else {
    return false;
  }
  if (left <= extra) return false;
  for (size_t i = 1; i <= extra; i++) {
    if ((byte(i) & 0xC0) != 0x80) return false;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > kMaxCodePoint || (value >= kHighSurrogateFirst && value < kSurrogateEnd)) {
    return false;
  }
  *cp = value;
  c->pos += extra + 1;
  return true;
}

void AppendUtf16(std::u16string* out, uint32_t cp) {
  if (cp < kSupplementaryBase) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= kSupplementaryBase;
    out->push_back(static_cast<char16_t>(kHighSurrogateFirst + (cp >> 10)));
    out->push_back(static_cast<char16_t>(kLowSurrogateFirst + (cp & 0x3FF)));
  }
}

bool ParseQuoted(Cursor* c, std::u16string* text, std::string* error) {
  if (c->Peek() != '"') {
    *error = "expected a quoted text";
    return false;
  }
  c->pos++;
  text->clear();
  while (!c->AtEnd()) {
    char ch = c->Peek();
    if (ch == '"') {
      c->pos++;
      return true;
    }
    if (ch == '\\') {
      c->pos++;
      char esc = c->Peek();
      if (esc == '"' || esc == '\\') {
        text->push_back(static_cast<char16_t>(esc));
        c->pos++;
      } else if (esc == 'u') {
        c->pos++;
        uint32_t unit = 0;
        for (size_t i = 0; i < kEscapeHexDigits; i++, c->pos++) {
          int digit = HexDigitValue(c->Peek());
          if (digit < 0) {
            *error = "\\u needs four hex digits";
            return false;
          }
          unit = (unit << 4) | static_cast<uint32_t>(digit);
        }
        text->push_back(static_cast<char16_t>(unit));
      } else {
        *error = "unknown escape in quoted text";
        return false;
      }
      continue;
    }
    uint32_t cp;
    if (!DecodeUtf8(c, &cp)) {
      *error = "malformed UTF-8";
      return false;
    }
    AppendUtf16(text, cp);
  }
  *error = "unterminated quoted text";
  return false;
}

void PushUnits(std::vector<uint8_t>* bytes, std::u16string_view units) {
  for (char16_t u : units) {
    bytes->push_back(static_cast<uint8_t>(u & 0xFF));
    bytes->push_back(static_cast<uint8_t>(u >> 8));
  }
}

bool ParseHexBytes(Cursor* c, std::vector<uint8_t>* bytes, std::string* error) {
  bytes->clear();
  SkipBlanks(c);
  if (c->AtEnd()) return true;
  for (;;) {
    SkipBlanks(c);
    uint32_t b;
    if (!ParseHexNumber(c, kByteMaxHexDigits, &b)) {
      *error = "expected a hex byte";
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(b));
    SkipBlanks(c);
    if (c->AtEnd()) return true;
    if (c->Peek() != ',') {
      *error = "expected ',' between hex bytes";
      return false;
    }
    c->pos++;
  }
}

bool ParseData(Cursor* c, RegValue* value, std::string* error) {
  value->data.clear();
  if (c->Peek() == '"') {
    std::u16string text;
    if (!ParseQuoted(c, &text, error)) return false;
    value->type = REG_SZ;
    PushUnits(&value->data, text);
    PushUnits(&value->data, std::u16string(1, u'\0'));
    return true;
  }
  if (ConsumeWord(c, kDwordPrefix)) {
    uint32_t v;
    if (!ParseHexNumber(c, kDwordMaxHexDigits, &v)) {
      *error = "dword needs 1 to 8 hex digits";
      return false;
    }
    value->type = REG_DWORD;
    for (size_t i = 0; i < sizeof v; i++) value->data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return true;
  }
  if (ConsumeWord(c, kMultiSzPrefix)) {
    value->type = REG_MULTI_SZ;
    for (;;) {
      SkipBlanks(c);
      std::u16string part;
      if (!ParseQuoted(c, &part, error)) return false;
      if (part.empty() || part.find(u'\0') != std::u16string::npos) {
        *error = "multi_sz strings must be non-empty";
        return false;
      }
      PushUnits(&value->data, part);
      PushUnits(&value->data, std::u16string(1, u'\0'));
      SkipBlanks(c);
      if (c->Peek() != ',') break;
      c->pos++;
    }
    PushUnits(&value->data, std::u16string(1, u'\0'));
    return true;
  }
  if (ConsumeWord(c, kHexPrefix)) {
    value->type = REG_BINARY;
    if (c->Peek() == '(') {
      c->pos++;
      if (!ParseHexNumber(c, kTypeMaxHexDigits, &value->type) || c->Peek() != ')') {
        *error = "hex(<type>) needs a hex type number";
        return false;
      }
      c->pos++;
    }
    if (c->Peek() != ':') {
      *error = "expected ':' after hex";
      return false;
    }
    c->pos++;
    return ParseHexBytes(c, &value->data, error);
  }
  *error = "unknown value form";
  return false;
}

bool ParseValueLine(Cursor* c, RegValue* value, std::string* error) {
  value->name.clear();
  if (c->Peek() == kDefaultValueName) {
    c->pos++;
  } else if (!ParseQuoted(c, &value->name, error)) {
    return false;
  }
  SkipBlanks(c);
  if (c->Peek() != '=') {
    *error = "expected '=' after the value name";
    return false;
  }
  c->pos++;
  SkipBlanks(c);
  if (!ParseData(c, value, error)) return false;
  SkipBlanks(c);
  if (!c->AtEnd()) {
    *error = "unexpected text after the value";
    return false;
  }
  return true;
}

bool ParseKeyHeader(std::string_view line, std::u16string* path, std::string* error) {
  if (line.size() < 2 || line.back() != ']') {
    *error = "key header needs a closing ']'";
    return false;
  }
  Cursor c{line.substr(1, line.size() - 2)};
  if (!ConsumeWord(&c, kRootName)) {
    *error = "key outside HKEY_LOCAL_MACHINE";
    return false;
  }
  path->clear();
  if (c.AtEnd()) return true;
  if (c.Peek() != '\\') {
    *error = "key outside HKEY_LOCAL_MACHINE";
    return false;
  }
  c.pos++;
  while (!c.AtEnd()) {
    uint32_t cp;
    if (!DecodeUtf8(&c, &cp)) {
      *error = "malformed UTF-8";
      return false;
    }
    AppendUtf16(path, cp);
  }
  if (path->empty() || !RegistryKeyPathValid(*path)) {
    *error = "invalid key name";
    return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

std::string RegistryToText(const RegistryData& data) {
  std::string out;
  for (const RegKey& key : data.keys) {
    if (!out.empty()) out.push_back('\n');
    out.push_back('[');
    out.append(kRootName);
    if (!key.path.empty()) {
      out.push_back(static_cast<char>(kPathSeparator));
      AppendKeyName(&out, key.path);
    }
    out.append("]\n");
    for (const RegValue& value : key.values) AppendValue(&out, value);
  }
  return out;
}

bool RegistryFromText(std::string_view text, RegistryData* data, std::string* error) {
  if (text.substr(0, kUtf8Bom.size()) == kUtf8Bom) text.remove_prefix(kUtf8Bom.size());
  RegistryData parsed;
  RegistryIndex index;  // a large file must not cost the square of its keys and values
  RegKey* current = nullptr;
  size_t lineNumber = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    lineNumber++;
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == kCommentLead) continue;
    std::string fault;
    if (line.front() == '[') {
      std::u16string path;
      bool created;
      if (ParseKeyHeader(line, &path, &fault)) current = RegistryCreateKey(&parsed, path, &created, &index);
    } else if (current == nullptr) {
      fault = "value before the first key";
    } else {
      Cursor c{line};
      RegValue value;
      if (ParseValueLine(&c, &value, &fault)) {
        RegistrySetValue(current, value.name, value.type, value.data.data(), value.data.size(), &index);
      }
    }
    if (!fault.empty()) {
      *error = "line " + std::to_string(lineNumber) + ": " + fault;
      return false;
    }
  }
  *data = std::move(parsed);
  return true;
}
