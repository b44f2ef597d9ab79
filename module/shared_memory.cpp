#include "module/shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "module/file_room.h"
#include "module/object_name.h"

namespace {

constexpr mode_t kBlockFileMode = 0666;
// Object names never start with a dot, so a half-made block cannot clash with one.
constexpr char kNewBlockTemplate[] = "/.new-XXXXXX";

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool FileSize(int fd, uint64_t* size) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

enum class OpenResult { Opened, Missing, Failed };

OpenResult OpenExisting(const std::string& path, SharedMemory* memory, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return OpenResult::Missing;
    *error = SystemError("cannot open shared memory", path);
    return OpenResult::Failed;
  }
  uint64_t size = 0;
  if (!FileSize(fd, &size) || size == 0) {
    *error = "shared memory " + path + " is unusable (empty or unreadable)";
    ::close(fd);
    return OpenResult::Failed;
  }
  memory->fd = fd;
  memory->size = size;
  return OpenResult::Opened;
}

enum class CreateResult { Created, Raced, Failed };

// Builds the block beside its final name and links it into place, so other
// processes see either no block or a complete, sized one.
CreateResult CreateNew(const std::string& shmDir, const std::string& path, uint64_t size, SharedMemory* memory,
                       std::string* error) {
  std::string temp = shmDir + kNewBlockTemplate;
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError("cannot create shared memory in", shmDir);
    return CreateResult::Failed;
  }
  CreateResult result = CreateResult::Created;
  if (::fchmod(fd, kBlockFileMode) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    *error = SystemError("cannot size shared memory", path);
    result = CreateResult::Failed;
  } else if (!FileRoomReserve(fd, size, path, error)) {
    // Mapped, a block without its room would end a process on a full disk.
    result = CreateResult::Failed;
  } else if (::link(temp.c_str(), path.c_str()) != 0) {
    if (errno == EEXIST) {
      result = CreateResult::Raced;
    } else {
      *error = SystemError("cannot create shared memory", path);
      result = CreateResult::Failed;
    }
  }
  ::unlink(temp.c_str());
  if (result != CreateResult::Created) {
    ::close(fd);
    return result;
  }
  memory->fd = fd;
  memory->size = size;
  return result;
}

}  // namespace

bool SharedMemoryOpen(const std::string& shmDir, const std::u16string& name, uint64_t size, bool* existed,
                      SharedMemory* memory, std::string* error) {
  if (name.empty()) {
    *error = "named shared memory needs a name";
    return false;
  }
  std::string path = shmDir + "/" + ModuleObjectFileName(name);
  OpenResult opened = OpenExisting(path, memory, error);
  if (opened == OpenResult::Missing) {
    if (size == 0) {
      *error = "new shared memory needs a size";
      return false;
    }
    CreateResult created = CreateNew(shmDir, path, size, memory, error);
    if (created == CreateResult::Created) {
      *existed = false;
      return true;
    }
    if (created == CreateResult::Failed) return false;
    // Another process linked its block first: use theirs.
    opened = OpenExisting(path, memory, error);
    if (opened == OpenResult::Missing) *error = "shared memory " + path + " vanished while being created";
  }
  if (opened != OpenResult::Opened) return false;
  *existed = true;
  return true;
}

bool SharedMemoryCreatePrivate(uint64_t size, SharedMemory* memory, std::string* error) {
  if (size == 0) {
    *error = "shared memory needs a size";
    return false;
  }
  int fd = ::memfd_create("flashwright-shm", MFD_CLOEXEC);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    *error = std::string("cannot create private shared memory: ") + std::strerror(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  memory->fd = fd;
  memory->size = size;
  return true;
}

void* SharedMemoryMap(const SharedMemory& memory, uint64_t offset, size_t bytes, bool writable,
                      std::string* error) {
  uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  if (memory.fd < 0 || bytes == 0 || offset % page != 0 || offset > memory.size ||
      bytes > memory.size - offset) {
    *error = "view outside the shared memory";
    return nullptr;
  }
  int protection = PROT_READ | (writable ? PROT_WRITE : 0);
  void* base = ::mmap(nullptr, bytes, protection, MAP_SHARED, memory.fd, static_cast<off_t>(offset));
  if (base == MAP_FAILED) {
    *error = std::string("cannot map shared memory: ") + std::strerror(errno);
    return nullptr;
  }
  return base;
}

bool SharedMemoryUnmap(void* base, size_t bytes) { return ::munmap(base, bytes) == 0; }

void SharedMemoryClose(SharedMemory* memory) {
  if (memory->fd >= 0) ::close(memory->fd);
  memory->fd = -1;
  memory->size = 0;
}
