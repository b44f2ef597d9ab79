// The virtual module a benchmark runs on: a fresh default board in a
// temporary folder, attached for the whole run and removed at its end.
#pragma once

#include <string>

// Creates and attaches the module under /tmp/fwbench-<name>.XXXXXX; false,
// with the reason on standard error, when that fails.
bool BenchModuleAttach(const char* name);

// The module's folder (empty before BenchModuleAttach succeeded).
const std::string& BenchModuleDir();

// Runs the registered benchmarks, then closes the library's file, detaches
// the module and removes its folder. The process's exit code.
int BenchMain(int argc, char** argv);
