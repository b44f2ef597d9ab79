#include "platform/host_options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/text.h"

const char kHostUsage[] =
    "usage: flashwright [--module DIR] [--ui qt|console|none] [--verbose] [SWITCHES...]\n"
    "       flashwright [--module DIR] --check FILE [--json]\n"
    "       flashwright --help | --version\n"
    "\n"
    "Rewrites, backs up and erases the flash of a virtual module.\n"
    "\n"
    "host options (before any switch):\n"
    "  --module DIR    the virtual module to work on (default: $FLASHWRIGHT_MODULE,\n"
    "                  else $XDG_DATA_HOME/flashwright/module, created on first use)\n"
    "  --ui qt|console the window system (default: qt when a display is available)\n"
    "  --ui none       no window at all, for scripts: messages go to standard error,\n"
    "                  questions take the answer that changes nothing (Cancel, else\n"
    "                  No), file dialogs are cancelled and dialogs closed; nothing waits\n"
    "  --verbose       each flash erase, write and read of the run on standard error,\n"
    "                  with its range and result\n"
    "  --check FILE    judge the image file FILE (the module's path, as /u takes it)\n"
    "                  as an update would on this module and print what it would\n"
    "                  write; writes nothing. Exit code 1: the update would take it,\n"
    "                  0: it would not (the last line says why)\n"
    "  --json          with --check: print one JSON object instead (keys in the README)\n"
    "  --help          this text\n"
    "  --version       the program's version\n"
    "\n"
    "switches (the module's own command line, case-insensitive; file names are\n"
    "lower-cased, which the module's case-insensitive paths do not mind):\n"
    "  /u FILE   update from an image file      /b FILE   back up all regions\n"
    "  /f, /fu   save the registry              /c, /cu   clear the registry\n"
    "  /r        warm restart                   /rc[MS]   cold restart after MS ms\n"
    "Without switches the main dialog opens. The exit code is 1 for success,\n"
    "0 for failure (a line on standard error says which switch failed and why),\n"
    "2 for a bad host option or module.\n";

namespace {

// Accepts "--name VALUE" and "--name=VALUE"; advances `i` past what it used.
bool TakeValue(int argc, char** argv, int* i, const char* name, std::string* value, std::string* error) {
  const char* arg = argv[*i];
  size_t len = std::strlen(name);
  if (std::strncmp(arg, name, len) != 0) return false;
  if (arg[len] == '=') {
    *value = arg + len + 1;
    return true;
  }
  if (arg[len] != '\0') return false;
  if (*i + 1 >= argc) {
    *error = std::string(name) + " needs a value";
    *value = "";
    return true;
  }
  *value = argv[++*i];
  return true;
}

}  // namespace

bool ParseHostOptions(int argc, char** argv, HostOptions* options, std::string* error) {
  *options = HostOptions{};
  error->clear();
  int i = 1;
  for (; i < argc; i++) {
    const char* arg = argv[i];
    std::string value;
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      options->help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      options->version = true;
    } else if (std::strcmp(arg, "--verbose") == 0) {
      options->verbose = true;
    } else if (std::strcmp(arg, "--json") == 0) {
      options->json = true;
    } else if (TakeValue(argc, argv, &i, "--check", &value, error)) {
      if (!error->empty()) return false;
      if (value.empty()) {
        *error = "--check needs an image file";
        return false;
      }
      options->checkPath = value;
    } else if (TakeValue(argc, argv, &i, "--module", &value, error)) {
      if (!error->empty()) return false;
      if (value.empty()) {
        *error = "--module needs a directory";
        return false;
      }
      options->moduleDir = value;
    } else if (TakeValue(argc, argv, &i, "--ui", &value, error)) {
      if (!error->empty()) return false;
      if (value == "qt") options->ui = HostUi::Qt;
      else if (value == "console") options->ui = HostUi::Console;
      else if (value == "none") options->ui = HostUi::None;
      else {
        *error = "--ui takes qt, console or none, not '" + value + "'";
        return false;
      }
    } else if (std::strncmp(arg, "--", 2) == 0) {
      *error = std::string("unknown option ") + arg;
      return false;
    } else {
      break;
    }
  }
  std::string line;
  for (; i < argc; i++) {
    if (!line.empty()) line += ' ';
    line += argv[i];
  }
  options->commandLine = Utf8ToUtf16(line);
  if (!options->checkPath.empty() && !options->commandLine.empty()) {
    *error = "--check takes no switches";
    return false;
  }
  if (options->json && options->checkPath.empty()) {
    *error = "--json goes with --check";
    return false;
  }
  return true;
}


void HostReopenClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is the one just found closed.
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != fd && opened >= 0) ::close(opened);
  }
}
