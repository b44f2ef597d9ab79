// fwmodule: creates, inspects and fault-injects virtual module directories,
// and moves files between the host and the module's flash disk volumes.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host_options.h"
#include "tools/fwmodule/commands.h"

namespace {

const char kUsage[] =
    "usage: fwmodule create DIR [--board nor|nand] [--two-stage] [--set SECTION.KEY=VALUE]... [--force]\n"
    "       fwmodule info DIR [--json]                   (board, and what the flash holds)\n"
    "       fwmodule dump DIR OFFSET [LENGTH]            (flash bytes in hex, 256 by default)\n"
    "       fwmodule dump DIR --page N                   (NAND: physical page N with its spare bytes)\n"
    "       fwmodule fault DIR SECTION.KEY=VALUE...   (e.g. faults.never_ready=true)\n"
    "       fwmodule export DIR PARTITION IMAGE          (a partition's sectors as an image file)\n"
    "       fwmodule ls DIR VOLUMEPATH                   (name, size, attributes, last write time)\n"
    "       fwmodule put DIR HOSTFILE VOLUMEPATH         (makes the folders on the way)\n"
    "       fwmodule get DIR VOLUMEPATH HOSTFILE         (HOSTFILE a folder: the file's own name in it)\n"
    "       fwmodule cpld DIR --digest                   (NAND: a hash of the CPLD's array)\n"
    "       fwmodule jtag-server DIR [--port N] [--once] (NAND: the CPLD for OpenOCD's remote_bitbang)\n"
    "       fwmodule --help | --version\n"
    "\n"
    "Settings are those of module.ini (see the comments in a created one);\n"
    "--set changes one before the factory content is laid down; --two-stage sets\n"
    "board.two_stage=true after them (a first and a second bootloader). The nand\n"
    "board takes flash.nand_chip_id (0xD3EC 0xF1EC 0xDAEC 0xDCEC 0xDCAD) and\n"
    "board.cpu_part_code (2, 8, 9); dump OFFSET reads its flash as the module's OS\n"
    "and the update program see it, the logical flash around the bad blocks.\n"
    "\n"
    "export, ls, put and get work on the flash disk's store \"Internal Flash\" and\n"
    "take the module's flash lock, so a program running on the module waits for\n"
    "them. PARTITION is as the store names it (Part00). VOLUMEPATH is a path on\n"
    "a volume; the partitions mount in table order as \\Hard Disk, \\Hard Disk2 ...\n"
    "(\"\\Hard Disk\\Documents\\notes.txt\"); put takes the host file's last write time.\n"
    "A name on a volume that FAT does not allow (\"..\", a '/', a control character)\n"
    "is never used on the host: ls shows it escaped (\\x2F) and how to reach the\n"
    "entry, and get into a folder refuses it; get to a named HOSTFILE still works.\n"
    "\n"
    "jtag-server listens on 127.0.0.1 only, port N or (0, the default) a free one,\n"
    "and prints it; each session's changes to the CPLD are saved in cpld.img when\n"
    "it ends. --once ends the server after the first session; otherwise Ctrl-C.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  HostReopenClosedStandardStreams();
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--version") {
    std::printf("%s %s\n", "fwmodule", kFlashwrightVersion);
    return 0;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "create") return FwmoduleCreate(args);
  if (command == "info") return FwmoduleInfo(args);
  if (command == "fault") return FwmoduleFault(args);
  if (command == "dump") return FwmoduleDump(args);
  if (command == "export") return FwmoduleExport(args);
  if (command == "ls") return FwmoduleList(args);
  if (command == "put") return FwmodulePut(args);
  if (command == "get") return FwmoduleGet(args);
  if (command == "cpld") return FwmoduleCpld(args);
  if (command == "jtag-server") return FwmoduleJtagServer(args);
  std::fprintf(stderr, "fwmodule: unknown command '%s'\n\n", command.c_str());
  return Usage();
}
