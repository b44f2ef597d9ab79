#include "module/flash_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/file_room.h"

namespace {

// Never removed while the module exists: a process still counting in a
// removed block would count where nobody looks.
constexpr char16_t kChangesName[] = u"nor-cell-changes";

}  // namespace

bool FlashImageOpen(const std::string& path, uint32_t blockSize, FlashImage* image, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size <= 0 || st.st_size > 0xFFFFFFFFLL) {
    *error = path + " is not a flash image of a usable size";
    ::close(fd);
    return false;
  }
  size_t bytes = static_cast<size_t>(st.st_size);
  // A copy made sparse has holes the mapping could not fill on a full disk.
  if (!FileRoomReserve(fd, bytes, path, error)) {
    ::close(fd);
    return false;
  }
  void* map = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  // The mapping keeps the file referenced; the descriptor is no longer needed.
  ::close(fd);
  if (map == MAP_FAILED) {
    *error = "cannot map " + path + ": " + std::strerror(errno);
    return false;
  }
  *image = FlashImage{};
  image->raw.bytes = static_cast<uint8_t*>(map);
  image->raw.size = static_cast<uint32_t>(bytes);
  image->raw.block = blockSize;
  image->mappedBytes = bytes;
  return true;
}

void FlashImageClose(FlashImage* image) {
  CellChangesClose(&image->raw.changes);
  if (image->raw.bytes != nullptr) ::munmap(image->raw.bytes, image->mappedBytes);
  *image = FlashImage{};
}

bool FlashImageCountChanges(FlashImage* image, const std::string& shmDir, std::string* error) {
  return CellChangesOpen(shmDir, kChangesName, &image->raw.changes, error);
}
