#include "fwlib/file_writes.h"

#include "platform/error.h"
#include "platform/files.h"

namespace {

bool FileSeek(HANDLE file, uint64_t position, DWORD method) {
  LONG high = static_cast<LONG>(position >> 32);
  DWORD low = SetFilePointer(file, static_cast<LONG>(static_cast<uint32_t>(position)), &high, method);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != 0);
}

// The largest run of words written in one go.
constexpr uint32_t kMaxWords = 4;

bool EncodeLe32(const uint32_t* words, uint32_t count, uint8_t (&bytes)[4 * kMaxWords]) {
  if (count > kMaxWords) return false;
  for (uint32_t i = 0; i < count; i++) StoreLe32(bytes + 4 * i, words[i]);
  return true;
}

}  // namespace

bool FileWriteAll(HANDLE file, const void* data, uint32_t count) {
  DWORD done = 0;
  return WriteFile(file, data, count, &done, nullptr) != 0 && done == count;
}

bool FilePosition(HANDLE file, uint64_t* position) {
  LONG high = 0;
  DWORD low = SetFilePointer(file, 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != 0) return false;
  *position = uint64_t{static_cast<uint32_t>(high)} << 32 | low;
  return true;
}

bool FilePatch(HANDLE file, uint64_t position, const void* data, uint32_t count) {
  return FileSeek(file, position, FILE_BEGIN) && FileWriteAll(file, data, count) && FileSeek(file, 0, FILE_END);
}

bool FileWriteLe32(HANDLE file, const uint32_t* words, uint32_t count) {
  uint8_t bytes[4 * kMaxWords];
  return EncodeLe32(words, count, bytes) && FileWriteAll(file, bytes, 4 * count);
}

bool FilePatchLe32(HANDLE file, uint64_t position, const uint32_t* words, uint32_t count) {
  uint8_t bytes[4 * kMaxWords];
  return EncodeLe32(words, count, bytes) && FilePatch(file, position, bytes, 4 * count);
}
