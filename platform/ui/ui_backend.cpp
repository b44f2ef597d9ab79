// Which window system a run gets; selecting and running it are in
// ui_start.cpp.
#include "platform/ui/ui_backend.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/ui/console_ui.h"
#include "platform/ui/dialog_templates.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/none_ui.h"
#include "platform/ui/recording.h"
#include "platform/ui/window_model.h"

namespace {

constexpr const char* kX11SocketDir = "/tmp/.X11-unix/X";

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// Connects to the Unix socket `path` (a leading '@' names an abstract one).
bool CanConnect(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.data(), path.size());
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (path[0] == '@') address.sun_path[0] = '\0';
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
  ::close(fd);
  return connected;
}

// ":0", ":0.0", "unix:1" are local and must answer on their socket; a
// display on another host is taken on trust.
bool XDisplayAvailable(const std::string& display) {
  if (display.empty()) return false;
  size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = display.substr(0, colon);
  if (!host.empty() && host != "unix") return true;
  std::string number = display.substr(colon + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  std::string socketPath = kX11SocketDir + number;
  return CanConnect("@" + socketPath) || CanConnect(socketPath);
}

bool WaylandAvailable(const UiEnvironment& env) {
  if (env.waylandDisplay.empty()) return false;
  std::string path = env.waylandDisplay[0] == '/' ? env.waylandDisplay : env.runtimeDir + "/" + env.waylandDisplay;
  if (env.waylandDisplay[0] != '/' && env.runtimeDir.empty()) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

UiEnvironment UiEnvironmentOfProcess() {
  return UiEnvironment{EnvOrEmpty("DISPLAY"), EnvOrEmpty("WAYLAND_DISPLAY"), EnvOrEmpty("QT_QPA_PLATFORM"),
                       EnvOrEmpty("XDG_RUNTIME_DIR")};
}

UiBackendKind UiChooseBackend(UiBackendKind requested, const UiEnvironment& env) {
  if (requested != UiBackendKind::Auto) return requested;
  if (!env.qpaPlatform.empty() || XDisplayAvailable(env.display) || WaylandAvailable(env)) return UiBackendKind::Qt;
  return UiBackendKind::Console;
}

UiBackendKind UiSelectedBackend() {
  const UiBackendOps* backend = UiBackend();
  if (backend == ConsoleBackend()) return UiBackendKind::Console;
  if (backend == NoneBackend()) return UiBackendKind::None;
  if (backend == RecordingBackend()) return UiBackendKind::Recording;
  return UiBackendKind::Qt;
}

void UiStop() { ConsoleUiStop(); }

void UiResetForTests() {
  ConsoleUiStop();
  UiModelResetForTests();
  DialogTemplatesResetForTests();
  RecordingReset();
  FileDialogResetForTests();
}
