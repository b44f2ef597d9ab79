#include "fwlib/refusal.h"

#include <cstdarg>

#include "platform/format.h"

namespace {

WCHAR g_refusal[REFUSAL_CHARS];

}  // namespace

void RefusalClear() { g_refusal[0] = 0; }

void RefusalSet(const WCHAR* format, ...) {
  if (g_refusal[0] != 0) return;
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(g_refusal, REFUSAL_CHARS, format, args);
  va_end(args);
}

const WCHAR* RefusalText() { return g_refusal; }
