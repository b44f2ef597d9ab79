// `fwmodule jtag-server DIR --once` in a process of its own, for the tests
// and benchmarks that set a JTAG tool against the module's CPLD. No test
// framework in here: the benchmarks build it too.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct JtagServerProcess {
  pid_t pid = -1;
  uint32_t port = 0;  // 0: it did not start listening
};

// Starts the server with the fwmodule program at `fwmodule` and reads the
// port it prints.
JtagServerProcess StartJtagServer(const std::string& fwmodule, const std::string& dir);
