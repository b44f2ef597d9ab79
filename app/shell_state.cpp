#include "app/shell_state.h"

ShellState g_shell;

void ShellStateResetForTests() { g_shell = ShellState{}; }
