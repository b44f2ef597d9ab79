#include "module/flash_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "module/atomic_file.h"

namespace {

constexpr mode_t kLogFileMode = 0644;
constexpr uint32_t kWordBytes = 4;
// Records gathered for one write: a run of bus words lands as one piece.
constexpr size_t kChunkRecords = 64;

bool WriteAll(int fd, const void* data, size_t bytes) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (bytes > 0) {
    ssize_t put = ::write(fd, p, bytes);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    bytes -= static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

bool FlashLogOpen(const std::string& setting, const std::string& besideFile, FlashLog* log, std::string* error) {
  log->fd = -1;
  if (setting.empty()) return true;
  std::string path = setting;
  if (path.front() != '/') {
    size_t slash = besideFile.rfind('/');
    path = (slash == std::string::npos ? std::string() : besideFile.substr(0, slash + 1)) + setting;
  }
  log->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kLogFileMode);
  if (log->fd < 0) {
    *error = "cannot open the flash log " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void FlashLogClose(FlashLog* log) {
  if (log->fd >= 0) ::close(log->fd);
  log->fd = -1;
}

void FlashLogAppend(FlashLog* log, FlashLogDevice device, uint32_t address, const uint32_t* values, size_t count,
                    uint8_t flags) {
  FlashLogRecord chunk[kChunkRecords];
  uint32_t pid = static_cast<uint32_t>(::getpid());
  for (size_t done = 0; done < count;) {
    size_t n = std::min(count - done, kChunkRecords);
    for (size_t i = 0; i < n; i++) {
      chunk[i] = FlashLogRecord{pid, address, values[done + i], static_cast<uint8_t>(device), flags, 0};
      address += kWordBytes;
    }
    // A log that cannot be written is a debugging aid lost, not a flash fault.
    if (!WriteAll(log->fd, chunk, n * sizeof(FlashLogRecord))) {
      std::fprintf(stderr, "flash: log stopped: %s\n", std::strerror(errno));
      FlashLogClose(log);
      return;
    }
    done += n;
  }
}

bool FlashLogRead(const std::string& path, std::vector<FlashLogRecord>* records, std::string* error) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes, error)) return false;
  records->resize(bytes.size() / sizeof(FlashLogRecord));
  if (!records->empty()) std::memcpy(records->data(), bytes.data(), records->size() * sizeof(FlashLogRecord));
  return true;
}
