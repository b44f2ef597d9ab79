// Bytes read from the console's input, gathered into the lines the console
// hands to windows.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

// Input beyond this many unread lines, or a line beyond this many bytes, is dropped.
constexpr size_t kConsoleMaxPendingLines = 1024;
constexpr size_t kConsoleMaxLineBytes = 4096;

struct ConsoleLineInput {
  std::string partial;            // the line being typed
  std::deque<std::string> lines;  // complete lines not yet taken
};

// Takes `n` bytes as they were read: a line ends at '\n', and a '\r' just
// before it is dropped, so lines typed on either kind of terminal read alike.
void ConsoleInputFeed(ConsoleLineInput* input, const char* bytes, size_t n);

// The input ended: a last line without its '\n' counts as typed.
void ConsoleInputEnd(ConsoleLineInput* input);
