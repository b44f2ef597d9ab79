// What the Linux host hands the program: its own options, then the module-style
// command line.
#pragma once

#include <string>

enum class HostUi { Auto, Qt, Console };

struct HostOptions {
  std::string moduleDir;  // empty: the default module
  HostUi ui = HostUi::Auto;
  bool help = false;
  bool version = false;
  std::u16string commandLine;  // remaining arguments joined by single blanks
};

// Host options come first; the first argument that is not one of them starts
// the module-style command line. False with `error` set on a bad option.
bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error);

extern const char kHostUsage[];
