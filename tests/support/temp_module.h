// Temporary virtual modules for tests.
#pragma once

#include <string>

// A fresh, empty directory under the system's temporary folder.
std::string MakeTempDir(const char* prefix);

// Creates a module of `board` in a fresh temporary directory and attaches the
// platform to it; returns the module directory. Fails the current test (and
// returns an empty string) when that is not possible.
std::string AttachTempModule(const char* board = "nor");

// Path of a built program of this project (flashwright, fwmodule, test binaries).
std::string BuiltProgram(const char* name);
