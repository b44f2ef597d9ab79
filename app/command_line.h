// The module-style command line: at most 20 switches, each turned into one
// command that the runner executes in order.
#pragma once

#include "platform/types.h"

enum ShellCommandType : uint8_t {
  CommandUpdate = 0,
  CommandSaveRegistry = 1,
  CommandClearRegistry = 2,
  CommandReset = 3,
  CommandBackup = 4,
};

constexpr uint32_t SHELL_MAX_COMMANDS = 20;

struct ShellCommand {
  union {
    WCHAR path[MAX_PATH];  // update and backup: the image or target file
    uint32_t number;       // reset: 0 warm at once, else cold after that many ms
  };
  uint8_t type;
  int32_t unattended;
  // The file name did not fit `path`: the command fails instead of running
  // on no name (which would ask for one) or on a shortened one.
  bool nameTooLong;
};

struct CommandTable {
  ShellCommand commands[SHELL_MAX_COMMANDS];
  uint32_t count;
  // Where the lowered line holds the first thing that is not a switch the
  // program knows (an unknown switch, or text before any switch); -1 when
  // everything was understood.
  int32_t notUnderstood;
};

extern CommandTable g_commandTable;

// Fills the command table from `commandLine`, lower-casing it in place.
// Returns 1, or 0 when it stopped at an unknown switch (the commands parsed
// before it stay, and `notUnderstood` says where it stopped).
int ParseCommandLine(WCHAR* commandLine);

void CommandTableResetForTests();
