#include "module/nand_array.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "module/file_room.h"

namespace {

constexpr uint64_t kBlockRecordBytes = uint64_t{kNandPageRecordBytes} * kNandPagesPerBlock;
// Never removed while the module exists: a process still counting in a
// removed block would count where nobody looks.
constexpr char16_t kChangesName[] = u"nand-cell-changes";

uint8_t* Record(const NandArray* array, uint32_t page, uint32_t column) {
  return array->bytes + uint64_t{page} * kNandPageRecordBytes + column;
}

void CountChange(NandArray* array) { CellChangesCount(&array->changes); }

}  // namespace

bool NandArrayCreate(const std::string& path, const NandChipType* chip, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  // Truncating to the size leaves a file of holes, every cell erased; the
  // open that follows gives them their room on the disk.
  bool ok = ::ftruncate(fd, static_cast<off_t>(NandArrayFileBytes(chip))) == 0;
  if (!ok) *error = "cannot size " + path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}

bool NandArrayOpen(const std::string& path, const NandChipType* chip, NandArray* array, std::string* error) {
  *array = NandArray{};
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  uint64_t bytes = NandArrayFileBytes(chip);
  if (::fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != bytes) {
    *error = path + " is not the cell array of a NAND chip " + std::to_string(chip->blocks) + " blocks large";
    ::close(fd);
    return false;
  }
  if (!FileRoomReserve(fd, bytes, path, error)) {
    ::close(fd);
    return false;
  }
  void* map = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) {
    *error = "cannot map " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  array->chip = chip;
  array->bytes = static_cast<uint8_t*>(map);
  array->mappedBytes = bytes;
  array->fd = fd;
  return true;
}

void NandArrayClose(NandArray* array) {
  CellChangesClose(&array->changes);
  if (array->bytes != nullptr) ::munmap(array->bytes, array->mappedBytes);
  if (array->fd >= 0) ::close(array->fd);
  *array = NandArray{};
}

bool NandArrayCountChanges(NandArray* array, const std::string& shmDir, std::string* error) {
  return CellChangesOpen(shmDir, kChangesName, &array->changes, error);
}

bool NandArrayChanges(const NandArray* array, uint64_t* count) { return CellChangesNow(array->changes, count); }

void NandArrayRead(const NandArray* array, uint32_t page, uint32_t column, void* out, uint32_t length) {
  const uint8_t* cells = Record(array, page, column);
  auto* to = static_cast<uint8_t*>(out);
  for (uint32_t i = 0; i < length; i++) to[i] = static_cast<uint8_t>(~cells[i]);
}

void NandArrayProgram(NandArray* array, uint32_t page, uint32_t column, const void* data, uint32_t length) {
  CountChange(array);
  uint8_t* cells = Record(array, page, column);
  const auto* from = static_cast<const uint8_t*>(data);
  // Stored inverted: clearing a bit of the value sets it in the file.
  for (uint32_t i = 0; i < length; i++) cells[i] |= static_cast<uint8_t>(~from[i]);
}

void NandArrayErase(NandArray* array, uint32_t block) {
  CountChange(array);
  uint64_t offset = block * kBlockRecordBytes;
  // Zeroed in place, its disk blocks kept: a hole would give the room back
  // and the next program could find the host's disk full. Where ranges
  // cannot be zeroed so, the stores do the same.
  if (::fallocate(array->fd, FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                  static_cast<off_t>(kBlockRecordBytes)) != 0) {
    std::memset(array->bytes + offset, 0, kBlockRecordBytes);
  }
}

void NandArrayErasePages(NandArray* array, uint32_t firstPage, uint32_t count) {
  CountChange(array);
  std::memset(Record(array, firstPage, 0), 0, uint64_t{count} * kNandPageRecordBytes);
}

bool NandArrayBlockErased(const NandArray* array, uint32_t block) {
  const uint8_t* cells = array->bytes + block * kBlockRecordBytes;
  for (uint64_t i = 0; i < kBlockRecordBytes; i++) {
    if (cells[i] != 0) return false;
  }
  return true;
}
