#include "fwlib/bin_file_io.h"

#include "fwlib/library_state.h"
#include "platform/error.h"
#include "platform/files.h"

namespace {

constexpr uint32_t HIGH_SHIFT = 32;

HANDLE File() { return FwlState()->imageFile; }

}  // namespace

uint32_t ImageFileRead(void* buffer, uint32_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    DWORD done = 0;
    if (!ReadFile(File(), out + total, count - total, &done, nullptr) || done == 0) break;
    total += done;
  }
  return total;
}

bool ImageFileReadAll(void* buffer, uint32_t count) { return ImageFileRead(buffer, count) == count; }

bool ImageFileSeek(uint64_t position) {
  LONG high = static_cast<LONG>(position >> HIGH_SHIFT);
  DWORD low = SetFilePointer(File(), static_cast<LONG>(static_cast<uint32_t>(position)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

bool ImageFilePosition(uint64_t* position) {
  LONG high = 0;
  DWORD low = SetFilePointer(File(), 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return false;
  *position = uint64_t{static_cast<uint32_t>(high)} << HIGH_SHIFT | low;
  return true;
}

bool ImageFileSize(uint64_t* size) {
  DWORD high = 0;
  DWORD low = GetFileSize(File(), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) return false;
  *size = uint64_t{high} << HIGH_SHIFT | low;
  return true;
}
