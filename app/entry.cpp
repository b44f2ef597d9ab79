#include "app/entry.h"

#include <cstdio>

#include "platform/text.h"

// The command line is not interpreted yet: show what arrived so the host's
// hand-over can be checked.
int ProgramEntry(HINSTANCE, LPWSTR commandLine) {
  std::printf("flashwright: command line: \"%s\"\n", Utf16ToUtf8(commandLine ? commandLine : u"").c_str());
  return 0;
}
