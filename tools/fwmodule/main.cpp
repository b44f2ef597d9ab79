// fwmodule: creates, inspects and fault-injects virtual module directories.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/fwmodule/commands.h"

namespace {

const char kUsage[] =
    "usage: fwmodule create DIR [--board nor] [--two-stage] [--set SECTION.KEY=VALUE]... [--force]\n"
    "       fwmodule info DIR                            (board, and what the flash holds)\n"
    "       fwmodule dump DIR OFFSET [LENGTH]            (flash bytes in hex, 256 by default)\n"
    "       fwmodule fault DIR SECTION.KEY=VALUE...   (e.g. faults.never_ready=true)\n"
    "\n"
    "Settings are those of module.ini (see the comments in a created one);\n"
    "--set changes one before the factory content is laid down; --two-stage sets\n"
    "board.two_stage=true after them (a first and a second bootloader).\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "create") return FwmoduleCreate(args);
  if (command == "info") return FwmoduleInfo(args);
  if (command == "fault") return FwmoduleFault(args);
  if (command == "dump") return FwmoduleDump(args);
  std::fprintf(stderr, "fwmodule: unknown command '%s'\n\n", command.c_str());
  return Usage();
}
