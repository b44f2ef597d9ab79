// Runs of the built program on fresh virtual modules, with the console
// window system so that a run never waits for a display.
#pragma once

#include <string>
#include <vector>

#include "tests/support/run_program.h"

// A new module with the default board; its directory.
std::string MakeModule(const std::vector<std::string>& settings = {});

// flashwright on `dir` with the module's own `switches`, `input` on its
// standard input.
ProgramResult Flashwright(const std::string& dir, std::vector<std::string> switches, const std::string& input = "");

std::string ReadFile(const std::string& path);
