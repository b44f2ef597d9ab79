#include "module/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string Describe(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, std::string_view data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool AtomicWriteFile(const std::string& path, std::string_view data, std::string* error,
                     AtomicDurability durability) {
  std::string temp = path + ".tmp.XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    *error = Describe("cannot create", temp);
    return false;
  }
  // A replaced file keeps its permissions; a new one gets the usual ones.
  struct stat old;
  mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, data) &&
            (durability == AtomicDurability::ProcessEnd || ::fsync(fd) == 0);
  if (!ok) *error = Describe("cannot write", temp);
  if (::close(fd) != 0 && ok) {
    *error = Describe("cannot write", temp);
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = Describe("cannot replace", path);
    ok = false;
  }
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

bool ReadWholeFd(int fd, const std::string& path, std::string* data, std::string* error) {
  data->clear();
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Describe("cannot read", path);
      return false;
    }
    if (n == 0) return true;
    data->append(chunk, static_cast<size_t>(n));
  }
}

bool ReadWholeFile(const std::string& path, std::string* data, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Describe("cannot open", path);
    return false;
  }
  bool ok = ReadWholeFd(fd, path, data, error);
  ::close(fd);
  return ok;
}
