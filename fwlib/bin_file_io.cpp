#include "fwlib/bin_file_io.h"

#include <algorithm>
#include <cstring>

#include "fwlib/library_state.h"
#include "fwlib/work_buffer.h"
#include "platform/error.h"
#include "platform/file_mapping.h"
#include "platform/files.h"

namespace {

constexpr uint32_t HIGH_SHIFT = 32;
// A view spans no more than the work buffer, so a mapped walk takes no more
// address space than a read one takes heap.
constexpr uint32_t VIEW_BYTES = WORK_BUFFER_BYTES;

struct MappedImage {
  HANDLE section = nullptr;  // null while reads go through the handle
  const uint8_t* view = nullptr;
  uint64_t viewStart = 0;
  uint64_t viewBytes = 0;
  uint64_t size = 0;
  uint64_t position = 0;
};

MappedImage g_mapped;

HANDLE File() { return FwlState()->imageFile; }

DWORD High(uint64_t value) { return static_cast<DWORD>(value >> HIGH_SHIFT); }
DWORD Low(uint64_t value) { return static_cast<DWORD>(value); }

bool HandleSeek(uint64_t position) {
  LONG high = static_cast<LONG>(High(position));
  DWORD low = SetFilePointer(File(), static_cast<LONG>(Low(position)), &high, FILE_BEGIN);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
}

uint32_t HandleRead(uint8_t* out, uint32_t count) {
  uint32_t total = 0;
  while (total < count) {
    DWORD done = 0;
    if (!ReadFile(File(), out + total, count - total, &done, nullptr) || done == 0) break;
    total += done;
  }
  return total;
}

void DropView() {
  if (g_mapped.view != nullptr) UnmapViewOfFile(g_mapped.view);
  g_mapped.view = nullptr;
  g_mapped.viewBytes = 0;
}

// Bytes of the view from the position on; 0 where the position lies outside it.
uint64_t ViewLeft() {
  const MappedImage& m = g_mapped;
  if (m.view == nullptr || m.position < m.viewStart || m.position >= m.viewStart + m.viewBytes) return 0;
  return m.viewStart + m.viewBytes - m.position;
}

// The view from the allocation granule the position lies in.
bool MapViewAtPosition() {
  MappedImage& m = g_mapped;
  DropView();
  uint64_t start = m.position - m.position % kAllocationGranularity;
  uint64_t bytes = std::min<uint64_t>(VIEW_BYTES, m.size - start);
  void* base = MapViewOfFile(m.section, FILE_MAP_READ, High(start), Low(start), static_cast<size_t>(bytes));
  if (base == nullptr) return false;
  m.view = static_cast<const uint8_t*>(base);
  m.viewStart = start;
  m.viewBytes = bytes;
  return true;
}

uint64_t TakeFromView(uint64_t want, uint32_t align) {
  uint64_t take = std::min(want, ViewLeft());
  return take < want ? take - take % align : take;
}

// As ImageFileBorrow over the views; 0 also when a view cannot be had.
uint32_t BorrowMapped(uint32_t count, uint32_t align, const uint8_t** data) {
  MappedImage& m = g_mapped;
  if (m.position >= m.size) return 0;
  uint64_t want = std::min<uint64_t>(count, m.size - m.position);
  uint64_t take = TakeFromView(want, align);
  // A view starts at most a granule before the position and is far longer
  // than any unit, so the next one always has whole units to give.
  if (take == 0) {
    if (!MapViewAtPosition()) return 0;
    take = TakeFromView(want, align);
  }
  *data = m.view + (m.position - m.viewStart);
  m.position += take;
  return static_cast<uint32_t>(take);
}

}  // namespace

uint32_t ImageFileBorrow(uint8_t* buffer, uint32_t count, uint32_t align, const uint8_t** data) {
  if (g_mapped.section != nullptr) {
    if (g_mapped.position >= g_mapped.size || g_mapped.size - g_mapped.position < count) return 0;
    uint32_t got = BorrowMapped(count, align, data);
    if (got != 0) return got;
    ImageFileUnmap();
  }
  *data = buffer;
  return HandleRead(buffer, count) == count ? count : 0;
}

uint32_t ImageFileRead(void* buffer, uint32_t count) {
  auto* out = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  while (g_mapped.section != nullptr && total < count) {
    const uint8_t* data = nullptr;
    uint32_t got = BorrowMapped(count - total, 1, &data);
    if (got == 0) {
      if (g_mapped.position >= g_mapped.size) return total;
      ImageFileUnmap();
      break;
    }
    std::memcpy(out + total, data, got);
    total += got;
  }
  return total + HandleRead(out + total, count - total);
}

bool ImageFileReadAll(void* buffer, uint32_t count) { return ImageFileRead(buffer, count) == count; }

bool ImageFileSeek(uint64_t position) {
  if (g_mapped.section == nullptr) return HandleSeek(position);
  // As on the handle, a position past the end is taken; reads there find nothing.
  g_mapped.position = position;
  return true;
}

bool ImageFilePosition(uint64_t* position) {
  if (g_mapped.section != nullptr) {
    *position = g_mapped.position;
    return true;
  }
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

bool ImageFileMap() {
  ImageFileUnmap();
  MappedImage m;
  if (!ImageFileSize(&m.size) || !ImageFilePosition(&m.position)) return false;
  m.section = CreateFileMappingW(File(), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (m.section == nullptr) return false;
  g_mapped = m;
  return true;
}

void ImageFileUnmap() {
  if (g_mapped.section == nullptr) return;
  DropView();
  CloseHandle(g_mapped.section);
  uint64_t position = g_mapped.position;
  g_mapped = MappedImage{};
  HandleSeek(position);
}
