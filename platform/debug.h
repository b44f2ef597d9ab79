// The platform's debug output, which on this host is standard error.
#pragma once

#include <string>

#include "platform/types.h"

// Writes `text` as UTF-8 exactly as given (no newline added); null writes
// nothing. Safe to call from any thread; each call's text stays whole.
void OutputDebugStringW(LPCWSTR text);

// Test hook: while a sink is set, debug output is appended to it instead of
// going to standard error. Null restores standard error.
void DebugSetCaptureSink(std::string* sink);

// Drops any capture sink.
void DebugReset();
