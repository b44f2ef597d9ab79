#include "tests/support/jtag_server_process.h"

#include <unistd.h>

#include <cstdio>

JtagServerProcess StartJtagServer(const std::string& fwmodule, const std::string& dir) {
  JtagServerProcess s;
  int out[2];
  if (::pipe(out) != 0) return s;
  s.pid = ::fork();
  if (s.pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(fwmodule.c_str(), fwmodule.c_str(), "jtag-server", dir.c_str(), "--once", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  FILE* in = ::fdopen(out[0], "r");
  char line[128] = {};
  unsigned port = 0;
  if (in != nullptr && std::fgets(line, sizeof line, in) != nullptr &&
      std::sscanf(line, "jtag-server: listening on 127.0.0.1:%u", &port) == 1) {
    s.port = port;
  }
  if (in != nullptr) std::fclose(in);
  return s;
}
