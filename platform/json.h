// A small JSON writer for the machine-readable reports (--check --json,
// fwmodule info --json): one object, keys in the order written, no spaces.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct JsonWriter {
  std::string text;
  std::vector<bool> needsComma;  // one per open object or array
};

// `key` names the member inside an object; null inside an array or at the top.
void JsonBeginObject(JsonWriter* w, const char* key = nullptr);
void JsonEndObject(JsonWriter* w);
void JsonBeginArray(JsonWriter* w, const char* key = nullptr);
void JsonEndArray(JsonWriter* w);
void JsonString(JsonWriter* w, const char* key, std::string_view utf8);
void JsonString(JsonWriter* w, const char* key, std::u16string_view text);
void JsonNumber(JsonWriter* w, const char* key, uint64_t value);
void JsonBool(JsonWriter* w, const char* key, bool value);
void JsonNull(JsonWriter* w, const char* key);

// `utf8` as a JSON string with its quotes: quotes, backslashes and control
// characters escaped, other characters kept as UTF-8; a byte that is not
// part of valid UTF-8 (a host file name in another encoding) becomes U+FFFD.
std::string JsonQuote(std::string_view utf8);
