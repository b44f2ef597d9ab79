#include "app/messages.h"

#include <cstdarg>

#include "platform/format.h"

namespace {
constexpr size_t kMessageCapacity = 512;
}

void ShowError(HWND owner, const WCHAR* text) { MessageBoxW(owner, text, kCaptionError, MSG_ERROR); }

void ShowErrorFormatted(HWND owner, const WCHAR* format, ...) {
  WCHAR text[kMessageCapacity];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, kMessageCapacity, format, args);
  va_end(args);
  ShowError(owner, text);
}

void ShowResultError(HWND owner, const ResultMessage* table, size_t count, uint32_t result, const WCHAR* unknown,
                     const WCHAR* path) {
  for (size_t i = 0; i < count; i++) {
    if (table[i].result == result) {
      ShowErrorFormatted(owner, table[i].text, path);
      return;
    }
  }
  if (unknown != nullptr) ShowErrorFormatted(owner, unknown, static_cast<int>(result));
}
