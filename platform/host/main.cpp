// The Linux host of the program: picks the virtual module and the window
// system, then hands the module-style command line to the program's entry.

#include <csignal>
#include <cstdio>
#include <vector>

#include "app/entry.h"
#include "app/image_check.h"
#include "platform/debug.h"
#include "platform/host_options.h"
#include "platform/text.h"
#include "platform/platform.h"
#include "platform/stop_request.h"
#include "platform/ui/ui_backend.h"

namespace {

UiBackendKind RequestedUi(HostUi ui) {
  switch (ui) {
    case HostUi::Qt:
      return UiBackendKind::Qt;
    case HostUi::Console:
      return UiBackendKind::Console;
    case HostUi::None:
      return UiBackendKind::None;
    case HostUi::Auto:
      break;
  }
  return UiBackendKind::Auto;
}

int RunEntry(void* context) {
  auto* line = static_cast<std::vector<WCHAR>*>(context);
  return ProgramEntry(nullptr, line->data());
}

void PrintCheckLine(const WCHAR* line) {
  std::string text = Utf16ToUtf8(line);
  std::printf("%s\n", text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  HostReopenClosedStandardStreams();
  // A reader that goes away (`flashwright ... | head`) must not end the
  // program half way through writing the flash: writes to it just fail.
  std::signal(SIGPIPE, SIG_IGN);
  StopSignalsInstall();
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
    std::printf("Flashwright %s\n", kFlashwrightVersion);
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
  DebugSetTrace(options.verbose);
  if (!options.checkPath.empty()) {
    std::u16string path = Utf8ToUtf16(options.checkPath);
    std::string json;
    int accepted = options.json ? CheckImageFileJson(path.c_str(), &json) : CheckImageFile(path.c_str(), PrintCheckLine);
    if (options.json) std::printf("%s\n", json.c_str());
    std::fflush(stdout);
    return accepted;
  }
  UiEnvironment environment = UiEnvironmentOfProcess();
  UiBackendKind requested = RequestedUi(options.ui);
  // Asked for by name, Qt without a display would only abort inside Qt.
  if (requested == UiBackendKind::Qt && UiChooseBackend(UiBackendKind::Auto, environment) != UiBackendKind::Qt) {
    std::fprintf(stderr, "flashwright: --ui qt needs a display (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM)\n");
    return 2;
  }
  if (!UiSelectBackend(UiChooseBackend(requested, environment), &error)) {
    std::fprintf(stderr, "flashwright: %s\n", error.c_str());
    return 2;
  }
  // The entry may write into its command line, as on the module. With Qt it
  // runs on a second thread while this one runs the event loop.
  std::vector<WCHAR> line(options.commandLine.begin(), options.commandLine.end());
  line.push_back(0);
  int code = UiRunProgram(RunEntry, &line);
  UiStop();
  return code;
}
