// fwimage: builds and inspects the image files the update program reads.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host_options.h"
#include "tools/fwimage/commands.h"

namespace {

const char kUsage[] =
    "usage: fwimage build OUT [--start ADDR] [--length LEN] [--entry ADDR] [--record ADDR FILE]...\n"
    "                     [--split BYTES] [--stream FILE]... [--cpld FILE [--cpld-mode N]]\n"
    "                     [--bad-checksum N] [--truncate BYTES] [--allow-outside]\n"
    "       fwimage stream OUT [--mem-base ADDR] [--mem-len LEN] [--sector-size N] [--store-sectors N]\n"
    "                      --chunk TAG FILE...\n"
    "       fwimage files OUT HOSTFOLDER [--volume PATH] [--module DIR | --mem-base ADDR --mem-len LEN]\n"
    "       fwimage info FILE [--module DIR]\n"
    "       fwimage --help | --version\n"
    "\n"
    "build   writes a BIN part linked at --start (default: the lowest record address)\n"
    "        with one record per --record, cut into records of --split bytes when\n"
    "        given; then the streams (raw stream files) and a CPLD section from an\n"
    "        XSVF file. --length defaults to the end of the highest record. Without\n"
    "        any --record the file has no BIN part. --bad-checksum N puts a wrong\n"
    "        checksum on record N (from 1), --truncate cuts bytes off the end,\n"
    "        --allow-outside lets records leave the image range: damaged files for tests.\n"
    "stream  writes a file-system stream of sector runs: one chunk per --chunk,\n"
    "        TAG being the run's first sector. Without --mem-base and --mem-len\n"
    "        it lands on the flash disk of whichever module takes it; with them,\n"
    "        only on a module whose flash disk lies there. --store-sectors gives\n"
    "        the size of the store it was saved from (the restore goes by the\n"
    "        store the module has).\n"
    "files   writes a file-level stream of the host folder's files and folders,\n"
    "        with their times, as the partition mounted at --volume (default\n"
    "        \\Hard Disk), for the flash disk region of the module DIR or the one\n"
    "        given; give it to build with --stream.\n"
    "info    shows the parts with every checksum checked and, with --module, judges\n"
    "        the file on that module as its update would (the same report as\n"
    "        flashwright --check). Exit status 1 when the file has faults or the\n"
    "        update would refuse it.\n"
    "Addresses and sizes take 0x... or decimal.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return kFwimageError;
}

}  // namespace

int main(int argc, char** argv) {
  HostReopenClosedStandardStreams();
  if (argc < 2) return Usage();
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--version") {
    std::printf("%s %s\n", "fwimage", kFlashwrightVersion);
    return kFwimageOk;
  }
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kFwimageOk;
  }
  if (command == "build") return FwimageBuild(args);
  if (command == "stream") return FwimageStream(args);
  if (command == "files") return FwimageFiles(args);
  if (command == "info") return FwimageInfo(args);
  std::fprintf(stderr, "fwimage: unknown command '%s'\n\n", command.c_str());
  return Usage();
}
