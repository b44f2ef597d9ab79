#include "tests/support/shell_layers.h"

#include "app/command_line.h"
#include "app/progress.h"
#include "app/resources.h"
#include "app/shell_state.h"
#include "platform/clock.h"
#include "tests/support/program_layers.h"

void ResetShellLayersForTests() {
  ProgressResetForTests();
  ResetProgramLayersForTests();
  ShellStateResetForTests();
  CommandTableResetForTests();
  ClockSkipSleepsForTests(false);
  RegisterShellTemplates(nullptr);
}
