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
#include "platform/text.h"

namespace {

// Every region, without windows or messages; the file stays as the library
// left it, also on failure.
int RunBackupCommand(const ShellCommand& command) {
  return FWLBackupToFile(command.path, REGION_ALL, nullptr, nullptr, nullptr) == FWL_OK ? 1 : 0;
}

int RunCommand(const ShellCommand& command) {
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
      // A restart that comes back did not happen, but the command did its part.
      if (command.number != 0) {
        Sleep(command.number);
        ResetSystem(1);
      } else {
        ResetSystem(0);
      }
      return 1;
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
