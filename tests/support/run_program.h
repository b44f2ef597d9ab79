// Runs a built program of the project as a separate process, for end-to-end tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, if one did
  std::string out;
  std::string err;
};

// A program started and not yet waited for.
struct RunningProgram {
  pid_t pid = -1;
  std::string dir;  // its input and output files
};

// Starts `argv` (argv[0] a path) with `env` added to the environment and
// `input` on its standard input.
RunningProgram StartProgram(const std::vector<std::string>& argv,
                            const std::vector<std::pair<std::string, std::string>>& env = {},
                            const std::string& input = "");
// Waits for it to end.
ProgramResult FinishProgram(const RunningProgram& program);

// StartProgram and FinishProgram.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env = {},
                         const std::string& input = "");
