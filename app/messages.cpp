#include "app/messages.h"

#include <cstdarg>

#include "app/shell_state.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {
constexpr size_t kMessageCapacity = kFailureTextChars;
}

void ShowError(HWND owner, const WCHAR* text) {
  NoteFailureText(text);
  MessageBoxW(owner, text, kCaptionError, MSG_ERROR);
}

void NoteFailure(const WCHAR* call, uint32_t result) {
  g_shell.failedCall = call;
  g_shell.failedResult = result;
}

void NoteFailureText(const WCHAR* text) { TextCopy(g_shell.failureText, kFailureTextChars, text ? text : u""); }

void ClearFailure() {
  NoteFailure(nullptr, 0);
  NoteFailureText(u"");
}

void ShowErrorFormatted(HWND owner, const WCHAR* format, ...) {
  WCHAR text[kMessageCapacity];
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, kMessageCapacity, format, args);
  va_end(args);
  ShowError(owner, text);
}

void FormatResultText(const ResultMessage* table, size_t count, uint32_t result, const WCHAR* unknown,
                      const WCHAR* path, WCHAR* text, size_t capacity) {
  text[0] = 0;
  for (size_t i = 0; i < count; i++) {
    if (table[i].result == result) {
      StringCchPrintfW(text, capacity, table[i].text, path);
      return;
    }
  }
  if (unknown != nullptr) StringCchPrintfW(text, capacity, unknown, static_cast<int>(result));
}

void ShowResultError(HWND owner, const ResultMessage* table, size_t count, uint32_t result, const WCHAR* unknown,
                     const WCHAR* path) {
  WCHAR text[kMessageCapacity];
  FormatResultText(table, count, result, unknown, path, text, kMessageCapacity);
  if (text[0] != 0) ShowError(owner, text);
}
