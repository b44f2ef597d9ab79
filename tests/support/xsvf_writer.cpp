#include "tests/support/xsvf_writer.h"

#include <fstream>
#include <iterator>

#include "cpld/xsvf.h"

XsvfStream XsvfVendorFile(const std::string& name) {
  std::ifstream in(std::string(FW_SHARED_TESTDATA) + "/xsvf/" + name, std::ios::binary);
  return XsvfStream{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A prefix ends either between two commands or inside the one the check names.
std::vector<uint32_t> XsvfCommandStarts(const XsvfStream& s) {
  std::vector<uint32_t> starts;
  for (uint32_t end = static_cast<uint32_t>(s.size()); end > 0;) {
    XsvfCheckResult r{};
    XsvfCheck(s.data(), end - 1, &r);
    uint32_t start = r.betweenCommands ? end - 1 : r.offset;
    starts.insert(starts.begin(), start);
    end = start;
  }
  return starts;
}

void XsvfPut(XsvfStream* s, uint8_t command, std::initializer_list<uint8_t> operands) {
  s->push_back(command);
  s->insert(s->end(), operands);
}

void XsvfPut32(XsvfStream* s, uint8_t command, uint32_t value) {
  s->push_back(command);
  XsvfPutValue(s, 32, value);
}

void XsvfPutValue(XsvfStream* s, uint32_t bits, uint64_t value) {
  for (uint32_t i = (bits + 7) / 8; i-- > 0;) s->push_back(static_cast<uint8_t>(i < 8 ? value >> (8 * i) : 0));
}

void XsvfSir(XsvfStream* s, uint8_t bits, uint64_t value) {
  XsvfPut(s, XSIR, {bits});
  XsvfPutValue(s, bits, value);
}

void XsvfSdr(XsvfStream* s, uint8_t command, uint32_t bits, uint64_t tdi, uint64_t expected) {
  XsvfPut32(s, XSDRSIZE, bits);
  s->push_back(command);
  XsvfPutValue(s, bits, tdi);
  bool withExpected = command == XSDRTDO || command == XSDRTDOB || command == XSDRTDOC || command == XSDRTDOE;
  if (withExpected) XsvfPutValue(s, bits, expected);
}
