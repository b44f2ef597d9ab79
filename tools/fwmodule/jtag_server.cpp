// fwmodule jtag-server: the module's CPLD on a TCP port in the remote
// bit-bang protocol of OpenOCD, so a JTAG tool outside the module can
// identify, erase, program and verify it as a cable would.
//
// Protocol, one byte per request: '0'-'7' set TCK, TMS and TDI to bits 2, 1
// and 0 of the digit; 'R' answers '0' or '1' with TDO; 'Q' ends the session;
// the blink ('B', 'b') and reset ('r', 's', 't', 'u') requests are taken and
// ignored, as is anything else. The cable reaches the CPLD's JTAG header
// directly, not through the processor's pins, so only a fault that holds TDO
// from outside stands between them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "module/cpld_model.h"
#include "module/jtag_wires.h"
#include "module/module_image.h"
#include "tools/fwmodule/commands.h"

namespace {

constexpr uint32_t kMaxPort = 65535;
constexpr size_t kBufferBytes = 4096;
constexpr char kFirstLevels = '0';
constexpr char kLastLevels = '7';
constexpr uint32_t kTckBit = 4;
constexpr uint32_t kTmsBit = 2;
constexpr uint32_t kTdiBit = 1;
constexpr char kRead = 'R';
constexpr char kQuit = 'Q';

volatile sig_atomic_t g_stop = 0;

void OnStop(int) { g_stop = 1; }

// SIGINT and SIGTERM end the server, interrupting accept() and recv().
void CatchStopSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool ParsePort(const std::string& text, uint32_t* port) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v > kMaxPort) return false;
  *port = static_cast<uint32_t>(v);
  return true;
}

// A socket listening on 127.0.0.1:port (0: any free port); -1 on failure.
int Listen(uint32_t port, uint32_t* bound, std::string* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = "127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  *bound = ntohs(address.sin_port);
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR && !g_stop) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// One cable session: requests until 'Q', the client's leaving, or a stop signal.
void Serve(int client, JtagTap* tap, TdoStuck stuck) {
  char in[kBufferBytes];
  std::string answers;
  answers.reserve(kBufferBytes);
  while (!g_stop) {
    ssize_t n = ::recv(client, in, sizeof in, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    answers.clear();
    bool quit = false;
    for (ssize_t i = 0; i < n && !quit; i++) {
      char c = in[i];
      if (c >= kFirstLevels && c <= kLastLevels) {
        uint32_t levels = static_cast<uint32_t>(c - kFirstLevels);
        JtagTapClock(tap, (levels & kTckBit) != 0, (levels & kTmsBit) != 0, (levels & kTdiBit) != 0);
      } else if (c == kRead) {
        answers.push_back(JtagTdoLine(stuck, tap) ? '1' : '0');
      } else if (c == kQuit) {
        quit = true;
      }
    }
    // Answers go out once the requests that came with them are done, so a
    // client that sends its reads in batches gets them in one packet.
    if (!SendAll(client, answers) || quit) return;
  }
}

void SaveArray(CpldModel* cpld) {
  std::string error;
  if (!CpldModelSave(cpld, &error)) std::fprintf(stderr, "fwmodule: jtag-server: %s\n", error.c_str());
}

}  // namespace

int FwmoduleJtagServer(const std::vector<std::string>& args) {
  std::string dir;
  uint32_t port = 0;
  bool once = false;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--port" && i + 1 < args.size()) {
      if (!ParsePort(args[++i], &port)) return FwmoduleFail("jtag-server: --port takes a number from 0 to 65535");
    } else if (args[i] == "--once") {
      once = true;
    } else if (dir.empty() && args[i].rfind("--", 0) != 0) {
      dir = args[i];
    } else {
      return FwmoduleFail("jtag-server: unexpected argument '" + args[i] + "'");
    }
  }
  if (dir.empty()) return FwmoduleFail("jtag-server: name the module directory");
  Module module;
  std::string error;
  if (!ModuleOpen(dir, &module, &error)) return FwmoduleFail(error);
  if (!ModuleIsNand(module.config) || module.config.cpldIdcode == 0) {
    return FwmoduleFail("jtag-server: the module has no CPLD");
  }
  TdoStuck stuck = TdoStuck::None;
  if (!CpldCheckConfig(module.config, &error)) return FwmoduleFail("jtag-server: " + error);
  TdoStuckParse(module.config.faultTdoStuck, &stuck);
  CpldModel* cpld = CpldModelOpen(ModuleCpldPath(module.dir), module.config, &error);
  if (cpld == nullptr) return FwmoduleFail("jtag-server: " + error);
  uint32_t bound = 0;
  int listener = Listen(port, &bound, &error);
  if (listener < 0) {
    CpldModelClose(cpld);
    return FwmoduleFail("jtag-server: " + error);
  }
  CatchStopSignals();
  std::printf("jtag-server: listening on 127.0.0.1:%" PRIu32 "\n", bound);
  std::fflush(stdout);
  while (!g_stop) {
    int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "fwmodule: jtag-server: accept: %s\n", std::strerror(errno));
      break;
    }
    int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Serve(client, CpldModelTap(cpld), stuck);
    ::close(client);
    // Whatever the session changed is kept even if the next one never comes.
    SaveArray(cpld);
    if (once) break;
  }
  ::close(listener);
  CpldModelClose(cpld);
  return 0;
}
