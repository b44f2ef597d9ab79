#include "flash/flash_trace.h"

#include "platform/debug.h"
#include "platform/format.h"

namespace {

constexpr size_t kTraceLineChars = 96;

struct FlashTraceState {
  FlashOpsTable real = {};
};

FlashTraceState g_trace;

uint32_t Traced(const WCHAR* what, uint32_t offset, uint32_t length, uint32_t result) {
  WCHAR line[kTraceLineChars];
  if (result != 0) {
    StringCchPrintfW(line, kTraceLineChars, u"flash: %s 0x%08x +0x%x: ok\n", what, offset, length);
  } else {
    // The NAND driver leaves the cause of a failure here; NOR leaves 0.
    StringCchPrintfW(line, kTraceLineChars, u"flash: %s 0x%08x +0x%x: FAILED (cause %u)\n", what, offset, length,
                     FlashError);
  }
  OutputDebugStringW(line);
  return result;
}

uint32_t Erase(uint32_t offset, uint32_t length) {
  return Traced(u"erase", offset, length, g_trace.real.Erase(offset, length));
}

uint32_t Write(const uint32_t* source, uint32_t offset, uint32_t length) {
  return Traced(u"write", offset, length, g_trace.real.Write(source, offset, length));
}

uint32_t WriteWord(uint32_t offset, uint32_t value) {
  return Traced(u"write word", offset, sizeof value, g_trace.real.WriteWord(offset, value));
}

uint32_t Read(uint32_t* destination, uint32_t offset, uint32_t length) {
  return Traced(u"read", offset, length, g_trace.real.Read(destination, offset, length));
}

}  // namespace

void FlashTraceWrap(FlashOpsTable* ops) {
  if (ops->Erase == Erase) return;
  g_trace.real = *ops;
  if (ops->Erase != nullptr) ops->Erase = Erase;
  if (ops->Write != nullptr) ops->Write = Write;
  if (ops->WriteWord != nullptr) ops->WriteWord = WriteWord;
  if (ops->Read != nullptr) ops->Read = Read;
}
