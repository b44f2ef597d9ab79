#include "tests/factory/rom_rule.h"

namespace {

bool Word(std::span<const uint8_t> flash, uint64_t at, uint32_t* out) {
  if (at + 4 > flash.size()) return false;
  *out = flash[at] | flash[at + 1] << 8 | flash[at + 2] << 16 | uint32_t{flash[at + 3]} << 24;
  return true;
}

}  // namespace

bool RuleRomImageValid(std::span<const uint8_t> flash, uint32_t a, uint32_t* size) {
  uint32_t ecec, headerAddress, headerOffset;
  if (!Word(flash, a + 0x40ull, &ecec) || ecec != 0x43454345 || !Word(flash, a + 0x44ull, &headerAddress) ||
      !Word(flash, a + 0x48ull, &headerOffset)) {
    return false;
  }
  uint32_t header[21];
  for (int i = 0; i < 21; i++) {
    if (!Word(flash, uint64_t{a} + headerOffset + 4 * i, &header[i])) return false;
  }
  uint32_t physFirst = header[2], physLast = header[3];
  auto inWindow = [](uint32_t v) { return v >= 0x80000000u && v < 0x90000000u; };
  if (!inWindow(physFirst) || !inWindow(physLast)) return false;
  bool valid = headerAddress - headerOffset == physFirst ||
               (physFirst < physLast && header[5] < header[6] && header[6] < header[7]);
  if (valid) *size = physLast - physFirst;
  return valid;
}

uint32_t RuleImageSize(std::span<const uint8_t> flash, uint32_t a) {
  uint32_t size, comp, length;
  if (RuleRomImageValid(flash, a, &size)) return size;
  if (RuleRomImageValid(flash, a + 0x8000, &size)) return size + 0x8000;
  if (Word(flash, a, &comp) && comp == 0x504D4F43 && Word(flash, a + 8ull, &length)) return length + 20;
  return 0;
}
