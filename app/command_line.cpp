#include "app/command_line.h"

#include <cstring>

#include "platform/debug.h"
#include "platform/format.h"
#include "platform/text.h"

CommandTable g_commandTable;

namespace {

constexpr WCHAR kSwitch = u'/';
constexpr WCHAR kBlank = u' ';
constexpr uint32_t kMaxWaitMs = 0x7FFFFFFF;

bool IsEnd(WCHAR c) { return c == 0; }

// Index of the next switch at or after `from`, or -1 at the end of the line.
int NextSwitch(const WCHAR* line, int from) {
  for (int i = from; !IsEnd(line[i]); i++) {
    if (line[i] == kSwitch) return i;
  }
  return -1;
}

// The file name of /u and /b: from `start` up to the next switch or the end,
// trailing blanks dropped. A name that does not fit is left empty and marks
// the command as failed. Returns where it ended.
int TakeFileName(const WCHAR* line, int start, ShellCommand* command) {
  int end = start;
  while (!IsEnd(line[end]) && line[end] != kSwitch) end++;
  int last = end;
  while (last > start && line[last - 1] == kBlank) last--;
  size_t length = static_cast<size_t>(last - start);
  command->path[0] = 0;
  command->nameTooLong = length >= MAX_PATH;
  if (!command->nameTooLong) {
    std::memcpy(command->path, line + start, length * sizeof(WCHAR));
    command->path[length] = 0;
  }
  return end;
}

bool IsSpace(WCHAR c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f'; }

// The wait after /rc: a signed decimal number with optional leading white
// space, no digits reading as 0. A negative wait cannot be waited, so it
// becomes the shortest one; a huge one is capped.
uint32_t ParseWait(const WCHAR* text) {
  while (IsSpace(*text)) text++;
  bool negative = *text == u'-';
  if (*text == u'-' || *text == u'+') text++;
  uint64_t value = 0;
  bool digits = false;
  for (; *text >= u'0' && *text <= u'9'; text++) {
    digits = true;
    value = value * 10 + static_cast<uint32_t>(*text - u'0');
    if (value > kMaxWaitMs) value = kMaxWaitMs;
  }
  if (!digits || value == 0) return 0;
  return negative ? 1 : static_cast<uint32_t>(value);
}

void ReportUnknownSwitch(WCHAR letter) {
  WCHAR message[80];
  StringCchPrintfW(message, 80, u"WARNING: Flashwright.exe: Unknown Command parameter: %c\n\r", letter);
  OutputDebugStringW(message);
}

}  // namespace

int ParseCommandLine(WCHAR* line) {
  g_commandTable.count = 0;
  g_commandTable.notUnderstood = -1;
  TextLowerInPlace(line);
  if (line[0] != kSwitch) {
    int first = 0;
    while (IsSpace(line[first])) first++;
    if (!IsEnd(line[first])) g_commandTable.notUnderstood = first;
    return 1;
  }
  int i = 0;
  for (;;) {
    if (g_commandTable.count == SHELL_MAX_COMMANDS) return 1;
    ShellCommand* command = &g_commandTable.commands[g_commandTable.count];
    *command = ShellCommand{};
    WCHAR letter = line[i + 1];
    int consumed = i + 2;
    switch (letter) {
      case u'u':
      case u'b':
        command->type = letter == u'u' ? CommandUpdate : CommandBackup;
        command->unattended = 1;
        // The one character after the letter is skipped whatever it is; a
        // switch at the very end of the line has no name at all.
        consumed = IsEnd(line[i + 2]) ? i + 2 : TakeFileName(line, i + 3, command);
        break;
      case u'f':
      case u'c':
        command->type = letter == u'f' ? CommandSaveRegistry : CommandClearRegistry;
        command->unattended = line[i + 2] == u'u' ? 1 : 0;
        break;
      case u'r':
        command->type = CommandReset;
        command->number = 0;
        if (line[i + 2] == u'c') {
          WCHAR next = line[i + 3];
          command->number = IsEnd(next) || next == kBlank || next == kSwitch ? 1 : ParseWait(line + i + 3);
        }
        break;
      default:
        ReportUnknownSwitch(letter);
        g_commandTable.notUnderstood = i;
        return 0;
    }
    g_commandTable.count++;
    int next = NextSwitch(line, consumed);
    if (next < 0) return 1;
    i = next;
  }
}

void CommandTableResetForTests() {
  std::memset(&g_commandTable, 0, sizeof g_commandTable);
  g_commandTable.notUnderstood = -1;
}
