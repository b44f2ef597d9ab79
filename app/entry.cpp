#include "app/entry.h"

#include "app/command_line.h"
#include "app/resources.h"
#include "app/runner.h"
#include "app/shell_state.h"
#include "platform/ui/window.h"

int ProgramEntry(HINSTANCE instance, LPWSTR commandLine) {
  g_shell.instance = instance;
  RegisterShellTemplates(instance);
  // The progress bars of the flows need the common controls.
  INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  // A line that holds anything the program does not understand runs nothing:
  // a typo must not pass for success, nor run half of what a script meant.
  ParseCommandLine(commandLine);
  if (g_commandTable.notUnderstood >= 0) return ReportNotUnderstood(commandLine);
  return RunCommands(instance) != 0 ? 1 : 0;
}
