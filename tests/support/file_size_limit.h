// A file size limit for the whole process while it lives, with the signal
// that would end the process ignored: writes past it fail as on a full card.
#pragma once

#include <sys/resource.h>

#include <csignal>

struct FileSizeLimit {
  struct rlimit saved = {};
  void (*savedSignal)(int) = SIG_DFL;
  bool active = false;

  explicit FileSizeLimit(rlim_t bytes) {
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0) return;
    savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = bytes;
    active = setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  void Restore() {
    if (!active) return;
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);
    active = false;
  }
  ~FileSizeLimit() { Restore(); }
};
