// The Linux host of the program: picks the virtual module, then hands the
// module-style command line to the program's entry.
#include <cstdio>
#include <vector>

#include "app/entry.h"
#include "platform/host_options.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  HostOptions options;
  std::string error;
  if (!ParseHostOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "flashwright: %s\n\n%s", error.c_str(), kHostUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kHostUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::puts("Flashwright 3.7.1");
    return 0;
  }
  // Only the default module is made on demand: a mistyped --module must not
  // silently become a new, empty module.
  bool useDefault = options.moduleDir.empty();
  std::string dir = useDefault ? ModuleDefaultDir() : options.moduleDir;
  if (!PlatformAttachModule(dir, useDefault, &error)) {
    std::fprintf(stderr, "flashwright: %s\n", error.c_str());
    return 2;
  }
  // The entry may write into its command line, as on the module.
  std::vector<WCHAR> line(options.commandLine.begin(), options.commandLine.end());
  line.push_back(0);
  return ProgramEntry(nullptr, line.data());
}
