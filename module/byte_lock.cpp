#include "module/byte_lock.h"

#include <cerrno>

namespace {

struct flock OneByte(off_t byte, short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = byte;
  range.l_len = 1;
  return range;
}

}  // namespace

bool ByteLock(int fd, off_t byte, short type, bool wait) {
  struct flock range = OneByte(byte, type);
  for (;;) {
    if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool ByteLockHeldByOthers(int fd, off_t byte) {
  struct flock probe = OneByte(byte, F_WRLCK);
  return ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}
