#include "platform/debug.h"

#include <cstdio>
#include <mutex>

#include "platform/text.h"

namespace {

struct DebugState {
  std::mutex lock;
  std::string* sink = nullptr;
  DebugWriter writer = nullptr;
  bool trace = false;
};

DebugState g_debug;

}  // namespace

void OutputDebugStringW(LPCWSTR text) {
  if (text == nullptr) return;
  const std::string utf8 = Utf16ToUtf8(std::u16string_view(text, TextLength(text)));
  std::lock_guard<std::mutex> hold(g_debug.lock);
  if (g_debug.sink != nullptr) {
    g_debug.sink->append(utf8);
    return;
  }
  if (g_debug.writer != nullptr) {
    g_debug.writer(utf8);
    return;
  }
  std::fwrite(utf8.data(), 1, utf8.size(), stderr);
  std::fflush(stderr);
}

void DebugSetCaptureSink(std::string* sink) {
  std::lock_guard<std::mutex> hold(g_debug.lock);
  g_debug.sink = sink;
}

void DebugSetTrace(bool on) {
  std::lock_guard<std::mutex> hold(g_debug.lock);
  g_debug.trace = on;
}

bool DebugTraceOn() {
  std::lock_guard<std::mutex> hold(g_debug.lock);
  return g_debug.trace;
}

void DebugSetWriter(DebugWriter writer) {
  std::lock_guard<std::mutex> hold(g_debug.lock);
  g_debug.writer = writer;
}

void DebugReset() {
  std::lock_guard<std::mutex> hold(g_debug.lock);
  g_debug.sink = nullptr;
  g_debug.writer = nullptr;
  g_debug.trace = false;
}
