// The virtual module a benchmark runs on: a fresh default board in a
// temporary folder, attached for the whole run and removed at its end.
#pragma once

#include <string>
#include <vector>

// Creates and attaches the module under /tmp/fwbench-<name>.XXXXXX; false,
// with the reason on standard error, when that fails.
// `settings` are module.ini assignments ("flash.nor_device_code=0x0019")
// applied to the default board before the module is made.
bool BenchModuleAttach(const char* name, const std::vector<std::string>& settings = {});

// Makes (on first use of the board with these settings) and attaches a
// module of `board` with `settings`, detaching whatever module was attached
// and putting the program's layers
// back to their start, so one run can compare boards. Modules made this way
// are removed at the end of the run.
bool BenchModuleUse(const char* board, const std::vector<std::string>& settings = {});
// As BenchModuleUse, for a second module of a board kept under its own
// `name`, so one benchmark's changes to the flash do not reach another's.
bool BenchModuleUseAs(const char* name, const char* board, const std::vector<std::string>& settings = {});

// The module's folder (empty before BenchModuleAttach succeeded).
const std::string& BenchModuleDir();

// Runs the registered benchmarks, then closes the library's file, detaches
// the module and removes its folder. The process's exit code.
int BenchMain(int argc, char** argv);
