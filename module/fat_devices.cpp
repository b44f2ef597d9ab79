// Devices for volumes outside the flash disk: a buffer in memory and a host
// image file, for tests and tools.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/fat_volume.h"

namespace {

bool InRange(uint64_t first, uint64_t count, uint64_t sectorCount) {
  return first <= sectorCount && count <= sectorCount - first;
}

bool MemoryRead(void* ctx, uint32_t first, uint32_t count, uint8_t* out) {
  FatMemoryDevice* m = static_cast<FatMemoryDevice*>(ctx);
  if (!InRange(first, count, m->bytes.size() / m->sectorBytes)) return false;
  std::memcpy(out, m->bytes.data() + size_t{first} * m->sectorBytes, size_t{count} * m->sectorBytes);
  return true;
}

bool MemoryWrite(void* ctx, uint32_t first, uint32_t count, const uint8_t* data) {
  FatMemoryDevice* m = static_cast<FatMemoryDevice*>(ctx);
  if (!InRange(first, count, m->bytes.size() / m->sectorBytes)) return false;
  std::memcpy(m->bytes.data() + size_t{first} * m->sectorBytes, data, size_t{count} * m->sectorBytes);
  return true;
}

// pread and pwrite may move less than asked; only an error or end of file stops them.
template <typename Buffer, typename Move>
bool MoveAll(int fd, Buffer buffer, size_t length, off_t offset, Move move) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = move(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool FileRead(void* ctx, uint32_t first, uint32_t count, uint8_t* out) {
  FatImageFile* f = static_cast<FatImageFile*>(ctx);
  if (!InRange(first, count, f->sectorCount)) return false;
  return MoveAll(f->fd, out, size_t{count} * f->sectorBytes, static_cast<off_t>(first) * f->sectorBytes, ::pread);
}

bool FileWrite(void* ctx, uint32_t first, uint32_t count, const uint8_t* data) {
  FatImageFile* f = static_cast<FatImageFile*>(ctx);
  if (!InRange(first, count, f->sectorCount)) return false;
  return MoveAll(f->fd, data, size_t{count} * f->sectorBytes, static_cast<off_t>(first) * f->sectorBytes, ::pwrite);
}

bool Fail(const std::string& what, const std::string& path, std::string* error) {
  *error = what + " " + path + ": " + std::strerror(errno);
  return false;
}

bool SectorSizeValid(uint32_t sectorBytes) {
  return sectorBytes >= 512 && sectorBytes <= 4096 && (sectorBytes & (sectorBytes - 1)) == 0;
}

}  // namespace

void FatMemoryDeviceInit(FatMemoryDevice* memory, uint32_t sectorBytes, uint32_t sectorCount) {
  memory->sectorBytes = sectorBytes;
  memory->bytes.assign(size_t{sectorBytes} * sectorCount, 0);
}

FatDevice FatMemoryDeviceAccess(FatMemoryDevice* memory) {
  FatDevice device;
  device.ctx = memory;
  device.sectorBytes = memory->sectorBytes;
  device.sectorCount = static_cast<uint32_t>(memory->bytes.size() / memory->sectorBytes);
  device.read = MemoryRead;
  device.write = MemoryWrite;
  return device;
}

bool FatImageFileOpen(const std::string& path, uint32_t sectorBytes, FatImageFile* file, std::string* error) {
  if (!SectorSizeValid(sectorBytes)) {
    *error = "unsupported sector size";
    return false;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Fail("cannot open", path, error);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return Fail("cannot inspect", path, error);
  }
  uint64_t sectors = static_cast<uint64_t>(st.st_size) / sectorBytes;
  if (sectors == 0 || sectors > UINT32_MAX) {
    ::close(fd);
    *error = "image size does not fit a device: " + path;
    return false;
  }
  file->fd = fd;
  file->sectorBytes = sectorBytes;
  file->sectorCount = static_cast<uint32_t>(sectors);
  return true;
}

bool FatImageFileCreate(const std::string& path, uint32_t sectorBytes, uint32_t sectorCount, FatImageFile* file,
                        std::string* error) {
  if (!SectorSizeValid(sectorBytes) || sectorCount == 0) {
    *error = "unsupported image geometry";
    return false;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail("cannot create", path, error);
  // Sparse: the unwritten sectors read as zeros.
  if (::ftruncate(fd, static_cast<off_t>(uint64_t{sectorCount} * sectorBytes)) != 0) {
    ::close(fd);
    return Fail("cannot size", path, error);
  }
  file->fd = fd;
  file->sectorBytes = sectorBytes;
  file->sectorCount = sectorCount;
  return true;
}

void FatImageFileClose(FatImageFile* file) {
  if (file->fd >= 0) ::close(file->fd);
  file->fd = -1;
}

FatDevice FatImageFileAccess(FatImageFile* file) {
  FatDevice device;
  device.ctx = file;
  device.sectorBytes = file->sectorBytes;
  device.sectorCount = file->sectorCount;
  device.read = FileRead;
  device.write = FileWrite;
  return device;
}
