// Temporary virtual modules for tests.
#pragma once

#include <string>
#include <vector>

// A fresh, empty directory under the system's temporary folder. Made inside
// a test, it is removed when the test ends; otherwise when the process ends.
std::string MakeTempDir(const char* prefix);
// Keeps a directory made inside a test until the process ends, for a fixture
// that shares it between tests.
void KeepTempDirForTheRun(const std::string& dir);

// Creates a module of `board` in a fresh temporary directory and attaches the
// platform to it; returns the module directory. Fails the current test (and
// returns an empty string) when that is not possible.
std::string AttachTempModule(const char* board = "nor");

// As AttachTempModule, with module.ini settings ("flash.nor_device_code=0x8922",
// "faults.never_ready=true" ...) applied before the platform attaches.
std::string AttachTempModuleWith(const std::vector<std::string>& settings, const char* board = "nor");

// Applies settings to an existing module's module.ini; false (and a test
// failure) when one is refused.
bool ConfigureModule(const std::string& dir, const std::vector<std::string>& settings);

// Path of a built program of this project (flashwright, fwmodule, test binaries).
std::string BuiltProgram(const char* name);
