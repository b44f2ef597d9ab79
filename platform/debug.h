// The platform's debug output, which on this host is standard error.
#pragma once

#include <string>

#include "platform/types.h"

// Writes `text` as UTF-8 exactly as given (no newline added); null writes
// nothing. Safe to call from any thread; each call's text stays whole.
void OutputDebugStringW(LPCWSTR text);

// Trace lines (each flash operation, ...) are debug output only while the
// trace is on; the host turns it on for --verbose. Off at start.
void DebugSetTrace(bool on);
bool DebugTraceOn();

// While set, debug output goes to `writer` (text as given) instead of
// standard error: a window system that draws on standard error keeps the
// lines in order with its own. Null restores standard error.
using DebugWriter = void (*)(const std::string& utf8);
void DebugSetWriter(DebugWriter writer);

// Test hook: while a sink is set, debug output is appended to it instead of
// going to standard error. Null restores standard error.
void DebugSetCaptureSink(std::string* sink);

// Drops any capture sink.
void DebugReset();
