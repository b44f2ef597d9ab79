#include "module/object_name.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr char kEscapeMark = '%';
constexpr char kHashMark = '#';
constexpr int kEscapeDigits = 4;
// Below the usual 255-byte limit with room for the hash and a temporary prefix.
constexpr size_t kMaxFileNameChars = 200;
constexpr size_t kHashedPrefixChars = 160;
constexpr uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr unsigned kBitsPerByte = 8;
constexpr uint16_t kByteMask = 0xFF;

bool IsPlain(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
         c == u'-';
}

uint64_t HashName(const std::u16string& name) {
  uint64_t hash = kFnvOffsetBasis;
  for (char16_t c : name) {
    for (unsigned shift : {0u, kBitsPerByte}) {
      hash ^= static_cast<uint64_t>((c >> shift) & kByteMask);
      hash *= kFnvPrime;
    }
  }
  return hash;
}

}  // namespace

std::string ModuleObjectFileName(const std::u16string& name) {
  std::string out;
  for (char16_t c : name) {
    if (IsPlain(c)) {
      out += static_cast<char>(c);
    } else {
      char hex[kEscapeDigits + 1];
      std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
      out += kEscapeMark;
      out += hex;
    }
  }
  if (out.size() <= kMaxFileNameChars) return out;
  // A cut could split an escape; the hash of the whole name keeps names apart anyway.
  char hash[2 * sizeof(uint64_t) + 1];
  std::snprintf(hash, sizeof hash, "%016llX", static_cast<unsigned long long>(HashName(name)));
  return out.substr(0, kHashedPrefixChars) + kHashMark + hash;
}
