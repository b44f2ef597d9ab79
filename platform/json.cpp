#include "platform/json.h"

#include <cstdio>

#include "platform/text.h"

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at `s[i]`, 0 when there is none
// (stray continuation bytes, overlong forms, surrogates, beyond U+10FFFF).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  size_t length;
  uint32_t min;
  uint32_t code;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (size_t k = 1; k < length; k++) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + k) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// Separates this value from the one before it and writes its key.
void Member(JsonWriter* w, const char* key) {
  if (!w->needsComma.empty()) {
    if (w->needsComma.back()) w->text += ',';
    w->needsComma.back() = true;
  }
  if (key != nullptr) w->text += JsonQuote(key) + ':';
}

}  // namespace

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t length = Utf8SequenceLength(utf8, i);
    if (length == 0) {
      out += kReplacement;
      i++;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < kFirstPrintable) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(utf8.substr(i, length));
    }
    i += length;
  }
  return out + '"';
}

void JsonBeginObject(JsonWriter* w, const char* key) {
  Member(w, key);
  w->text += '{';
  w->needsComma.push_back(false);
}

void JsonEndObject(JsonWriter* w) {
  w->text += '}';
  w->needsComma.pop_back();
}

void JsonBeginArray(JsonWriter* w, const char* key) {
  Member(w, key);
  w->text += '[';
  w->needsComma.push_back(false);
}

void JsonEndArray(JsonWriter* w) {
  w->text += ']';
  w->needsComma.pop_back();
}

void JsonString(JsonWriter* w, const char* key, std::string_view utf8) {
  Member(w, key);
  w->text += JsonQuote(utf8);
}

void JsonString(JsonWriter* w, const char* key, std::u16string_view text) {
  JsonString(w, key, std::string_view(Utf16ToUtf8(text)));
}

void JsonNumber(JsonWriter* w, const char* key, uint64_t value) {
  Member(w, key);
  w->text += std::to_string(value);
}

void JsonBool(JsonWriter* w, const char* key, bool value) {
  Member(w, key);
  w->text += value ? "true" : "false";
}

void JsonNull(JsonWriter* w, const char* key) {
  Member(w, key);
  w->text += "null";
}
