#include "platform/ui/console_input.h"

namespace {

void EndLine(ConsoleLineInput* input) {
  std::string& line = input->partial;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (input->lines.size() < kConsoleMaxPendingLines) input->lines.push_back(line);
  line.clear();
}

}  // namespace

void ConsoleInputFeed(ConsoleLineInput* input, const char* bytes, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (bytes[i] == '\n') {
      EndLine(input);
    } else if (input->partial.size() < kConsoleMaxLineBytes) {
      input->partial += bytes[i];
    }
  }
}

void ConsoleInputEnd(ConsoleLineInput* input) {
  if (!input->partial.empty()) EndLine(input);
}
