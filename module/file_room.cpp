#include "module/file_room.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr uint64_t kMegabyte = 1 << 20;

}  // namespace

bool FileRoomReserve(int fd, uint64_t bytes, const std::string& path, std::string* error) {
  if (bytes == 0) return true;
  int result;
  do {
    result = ::fallocate(fd, 0, 0, static_cast<off_t>(bytes));
  } while (result != 0 && errno == EINTR);
  if (result == 0 || errno == EOPNOTSUPP) return true;
  if (errno == ENOSPC || errno == EDQUOT) {
    *error = "the host's disk is full: " + path + " needs " + std::to_string((bytes + kMegabyte - 1) / kMegabyte) +
             " MB on it; free some room and try again (nothing was changed)";
  } else {
    *error = "cannot allocate room for " + path + ": " + std::strerror(errno);
  }
  return false;
}
