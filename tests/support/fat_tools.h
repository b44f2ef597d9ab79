// The system's FAT tools (dosfstools, mtools) as the tests' independent
// judges of the volumes this project writes.
#pragma once

#include <string>
#include <vector>

#include "tests/support/run_program.h"

// Runs the tool `name` ("fsck.fat", "mcopy" ...) from the system folders,
// without mtools' geometry checks; a missing tool is a test failure.
ProgramResult RunFatTool(const char* name, std::vector<std::string> args);

// The checker finds nothing to say about `image` beyond its counts.
void ExpectFatClean(const std::string& image);
