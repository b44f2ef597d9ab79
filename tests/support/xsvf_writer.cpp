#include "tests/support/xsvf_writer.h"

#include "cpld/xsvf.h"

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
