// The message box styles the shell uses, and its one way of showing them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/window.h"

constexpr UINT MSG_INFO = MB_OK;
constexpr UINT MSG_ERROR = MB_OK | MB_ICONHAND;
constexpr UINT MSG_WARNING = MB_OK | MB_ICONEXCLAMATION;
constexpr UINT MSG_QUESTION = MB_YESNO | MB_ICONQUESTION;
constexpr UINT MSG_QUESTION_DEFAULT_NO = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
constexpr UINT MSG_WARNING_DEFAULT_NO = MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2;

inline constexpr const WCHAR* kCaptionError = u"ERROR";

// An error message with the caption "ERROR"; its text is noted as the
// failure's (NoteFailureText).
void ShowError(HWND owner, const WCHAR* text);

// What failed, kept in the shell state until the next command: the call and
// its result, and the text a person was (or, unattended, would have been)
// shown.
void NoteFailure(const WCHAR* call, uint32_t result);
void NoteFailureText(const WCHAR* text);
void ClearFailure();

// ShowError with a text formatted from `format` (at most 512 units).
void ShowErrorFormatted(HWND owner, const WCHAR* format, ...);

// The error text of one library result; a text may name the file with %s.
struct ResultMessage {
  uint32_t result;
  const WCHAR* text;
};

// The table's text for `result`, with `path` for its %s; a result the table
// lacks gives `unknown` with the number, or an empty text when `unknown` is
// null.
void FormatResultText(const ResultMessage* table, size_t count, uint32_t result, const WCHAR* unknown,
                      const WCHAR* path, WCHAR* text, size_t capacity);

// Shows FormatResultText's text, unless it is empty.
void ShowResultError(HWND owner, const ResultMessage* table, size_t count, uint32_t result, const WCHAR* unknown,
                     const WCHAR* path);

template <size_t N>
void ShowResultError(HWND owner, const ResultMessage (&table)[N], uint32_t result, const WCHAR* unknown,
                     const WCHAR* path = u"") {
  ShowResultError(owner, table, N, result, unknown, path);
}
