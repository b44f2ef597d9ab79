// Runs a built program of the project as a separate process, for end-to-end tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramResult {
  int exitCode = -1;  // -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] a path) with `env` added to the environment and
// `input` on its standard input.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::vector<std::pair<std::string, std::string>>& env = {},
                         const std::string& input = "");
