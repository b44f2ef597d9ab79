#include "app/runner.h"

#include "app/command_line.h"
#include "app/main_dialog.h"
#include "app/messages.h"
#include "app/shell_state.h"
#include "app/system_ops.h"
#include "app/update_flow.h"
#include "fwlib/backup.h"
#include "fwlib/init.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

// Every region, without windows or messages; a failure leaves a line on the
// debug output for whoever runs the script.
int RunBackupCommand(const ShellCommand& command) {
  uint32_t result = FWLBackupToFile(command.path, REGION_ALL, nullptr, nullptr, nullptr);
  if (result == FWL_OK) return 1;
  WCHAR line[96];
  StringCchPrintfW(line, 96, u"WARNING: Flashwright.exe: Backup failed: error %u\n\r", result);
  OutputDebugStringW(line);
  return 0;
}

int RunCommand(const ShellCommand& command) {
  if (command.nameTooLong) {
    OutputDebugStringW(u"WARNING: Flashwright.exe: File name too long\n\r");
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
  if (initResult != FWL_OK) {
    if (g_commandTable.commands[0].unattended != 1) ShowError(nullptr, u"Init FwLib failed.");
    return 0;
  }
  for (uint32_t i = 0; i < g_commandTable.count; i++) {
    if (RunCommand(g_commandTable.commands[i]) == 0) return 0;
  }
  return 1;
}
