// What the Linux host hands the program: its own options, then the module-style
// command line.
#pragma once

#include <string>

enum class HostUi { Auto, Qt, Console, None };

struct HostOptions {
  std::string moduleDir;  // empty: the default module
  HostUi ui = HostUi::Auto;
  bool help = false;
  bool version = false;
  bool verbose = false;   // each flash operation on standard error
  std::string checkPath;  // --check: the module's path of an image file to judge
  bool json = false;      // --json: the check's report as one JSON object
  std::u16string commandLine;  // remaining arguments joined by single blanks
};

// Host options come first; the first argument that is not one of them starts
// the module-style command line. False with `error` set on a bad option.
bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error);

extern const char kHostUsage[];

// What the program and its tools answer to --version.
constexpr char kFlashwrightVersion[] = "3.7.1";

// A program started with standard input, output or error closed would hand
// those numbers to the next files it opens: a lock file read as typed input,
// a dialog drawn into it. Each closed one is opened on /dev/null first; the
// three programs call this before anything else.
void HostReopenClosedStandardStreams();

