#include "app/runner.h"

#include "app/command_line.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "app/region_flows.h"
#include "app/shell_state.h"
#include "app/system_ops.h"
#include "app/update_flow.h"
#include "fwlib/backup.h"
#include "fwlib/init.h"
#include "fwlib/refusal.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/format.h"
#include "platform/stop_request.h"
#include "platform/text.h"

namespace {

bool NextSlash(const WCHAR* text) {
  for (; *text != 0; text++) {
    if (*text == u'/') return true;
  }
  return false;
}

// A switch and its file name or wait, the path taking what is left.
constexpr size_t kSwitchTextChars = MAX_PATH + 32;
constexpr size_t kReportChars = kSwitchTextChars + kFailureTextChars + 64;

// Every region, without windows or messages.
int RunBackupCommand(const ShellCommand& command) {
  uint32_t result = FWLBackupToFile(command.path, REGION_ALL, nullptr, nullptr, nullptr);
  if (result == FWL_OK) return 1;
  NoteFailure(u"FWLBackupToFile", result);
  WCHAR text[kFailureTextChars];
  FormatBackupFailure(result, command.path, text, kFailureTextChars);
  NoteFailureText(text);
  return 0;
}

// The switch as the parser understood it (lower-cased, as the file was
// looked for).
void SwitchText(const ShellCommand& command, WCHAR* text) {
  const WCHAR* quiet = command.unattended ? u"u" : u"";
  switch (command.type) {
    case CommandUpdate:
    case CommandBackup:
      StringCchPrintfW(text, kSwitchTextChars, u"/%c %s", command.type == CommandUpdate ? u'u' : u'b',
                       command.nameTooLong ? u"(a file name too long)" : command.path);
      break;
    case CommandSaveRegistry:
      StringCchPrintfW(text, kSwitchTextChars, u"/f%s", quiet);
      break;
    case CommandClearRegistry:
      StringCchPrintfW(text, kSwitchTextChars, u"/c%s", quiet);
      break;
    case CommandReset:
      if (command.number == 0) TextCopy(text, kSwitchTextChars, u"/r");
      else StringCchPrintfW(text, kSwitchTextChars, u"/rc%u", command.number);
      break;
    default:
      TextCopy(text, kSwitchTextChars, u"?");
      break;
  }
}

// One line for a script's log, whatever the dialogs showed or held back:
// what failed, the call and its result, and the message.
void ReportFailure(const WCHAR* what) {
  WCHAR line[kReportChars];
  StringCchPrintfW(line, kReportChars, u"flashwright: %s", what);
  WCHAR part[kFailureTextChars + 32];
  if (g_shell.failedCall != nullptr) {
    StringCchPrintfW(part, kFailureTextChars + 32, u": %s error %u", g_shell.failedCall, g_shell.failedResult);
    TextAppend(line, kReportChars, part);
  }
  if (g_shell.failureText[0] != 0) {
    StringCchPrintfW(part, kFailureTextChars + 32, u" (%s)", g_shell.failureText);
    // A message of several lines stays one line of the log.
    for (WCHAR* c = part; *c != 0; c++) {
      if (*c == u'\n' || *c == u'\r') *c = u' ';
    }
    TextAppend(line, kReportChars, part);
  }
  TextAppend(line, kReportChars, u"\n");
  OutputDebugStringW(line);
}

int RunCommand(const ShellCommand& command) {
  if (command.nameTooLong) {
    NoteFailureText(u"File name too long");
    return 0;
  }
  switch (command.type) {
    case CommandUpdate:
      TextCopy(g_shell.currentImagePath, MAX_PATH, command.path);
      g_shell.unattendedMode = command.unattended;
      return RunImageUpdate(nullptr);
    case CommandSaveRegistry:
      g_shell.unattendedMode = command.unattended;
      return SaveRegistry(nullptr);
    case CommandClearRegistry:
      g_shell.unattendedMode = command.unattended;
      return ClearRegistry(nullptr);
    case CommandReset:
      // A restart that comes back did not happen: what follows must not run
      // as if it had.
      if (command.number != 0) Sleep(command.number);
      return ResetSystem(command.number != 0 ? 1 : 0);
    case CommandBackup:
      return RunBackupCommand(command);
    default:
      return 0;
  }
}

}  // namespace

namespace {

constexpr size_t kWordChars = 64;
constexpr WCHAR kSwitches[] = u"/u FILE, /b FILE, /f, /fu, /c, /cu, /r, /rc[MS]";

// The word of the lowered line that starts at `at`, shortened to fit.
void WordAt(const WCHAR* line, int32_t at, WCHAR* word) {
  size_t n = 0;
  for (const WCHAR* c = line + at; *c != 0 && *c != u' ' && n + 1 < kWordChars; c++) word[n++] = *c;
  word[n] = 0;
}

// A host path after /u or /b reads as switches of its own ("/srv/x.bin").
bool FollowsAFileSwitch(int32_t at, const WCHAR* word) {
  if (at == 0 || g_commandTable.count == 0) return false;
  const ShellCommand& last = g_commandTable.commands[g_commandTable.count - 1];
  bool fileSwitch = last.type == CommandUpdate || last.type == CommandBackup;
  return fileSwitch && last.path[0] == 0 && TextLength(word) > 1 && NextSlash(word + 1);
}

}  // namespace

int ReportNotUnderstood(const WCHAR* line) {
  int32_t at = g_commandTable.notUnderstood;
  WCHAR word[kWordChars];
  WordAt(line, at, word);
  WCHAR text[kReportChars];
  if (FollowsAFileSwitch(at, word)) {
    StringCchPrintfW(text, kReportChars,
                     u"flashwright: \"%s\" is a host path; image paths are the module's own, such as "
                     u"\\Temp\\x.bin: copy the file into the module's root folder first (root/Temp/x.bin is "
                     u"\\Temp\\x.bin). Nothing ran.\n",
                     word);
  } else {
    StringCchPrintfW(text, kReportChars, u"flashwright: \"%s\" is not a switch (%s). Nothing ran.\n", word,
                     kSwitches);
  }
  OutputDebugStringW(text);
  return 0;
}

int RunCommands(HINSTANCE instance) {
  uint32_t initResult = FWLInit();
  if (g_commandTable.count == 0) {
    if (initResult == FWL_ERR_HW_VERSION) {
      ShowError(nullptr, u"Module HW version not supported");
      return 0;
    }
    DialogBoxParamW(instance, MAKEINTRESOURCE(IDD_MAIN), nullptr, MainDialogProc, static_cast<LPARAM>(initResult));
    return 1;
  }
  ClearFailure();
  if (initResult != FWL_OK) {
    NoteFailure(u"FWLInit", initResult);
    // The library's reason, when it gave one, says what to look at.
    WCHAR text[kFailureTextChars];
    TextCopy(text, kFailureTextChars, u"Init FwLib failed.");
    if (RefusalText()[0] != 0) {
      TextAppend(text, kFailureTextChars, u"\n");
      TextAppend(text, kFailureTextChars, RefusalText());
    }
    if (g_commandTable.commands[0].unattended != 1) ShowError(nullptr, text);
    else NoteFailureText(text);
    ReportFailure(u"no command ran, the library's start failed");
    return 0;
  }
  for (uint32_t i = 0; i < g_commandTable.count; i++) {
    const ShellCommand& command = g_commandTable.commands[i];
    ClearFailure();
    // A stop confirmed as the flash work ended still ends the run.
    if (StopRequested()) {
      WCHAR what[kSwitchTextChars];
      SwitchText(command, what);
      TextAppend(what, kSwitchTextChars, u" and what follows did not run: stopped on request");
      ReportFailure(what);
      return 0;
    }
    if (RunCommand(command) == 0) {
      WCHAR what[kSwitchTextChars];
      SwitchText(command, what);
      TextAppend(what, kSwitchTextChars, u" failed");
      ReportFailure(what);
      return 0;
    }
  }
  return 1;
}
