#include "platform/file_mapping.h"

#include <fcntl.h>

#include <map>
#include <mutex>
#include <new>
#include <string>

#include "module/shared_memory.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/files_internal.h"
#include "platform/handles.h"
#include "platform/host_entry.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr DWORD kProtectionMask = 0xFF;
constexpr unsigned kHighDwordShift = 32;
// Far beyond any section the module's software asks for; a larger request is
// a garbled size rather than a need.
constexpr uint64_t kMaxSectionBytes = 256ull * 1024 * 1024;

struct MappingObject {
  HandleObject header;
  SharedMemory memory;
  bool writable;
};

struct FileMappingState {
  std::mutex lock;
  std::map<uintptr_t, size_t> views;  // base -> length
};

FileMappingState g_fileMapping;

bool CloseMappingObject(HandleObject* self) {
  auto* object = reinterpret_cast<MappingObject*>(self);
  SharedMemoryClose(&object->memory);
  delete object;
  return true;
}

uint64_t Combine(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << kHighDwordShift) | low; }

bool OpenSection(LPCWSTR name, uint64_t size, SharedMemory* memory, bool* existed) {
  std::string error;
  if (name == nullptr || name[0] == 0) {
    if (!SharedMemoryCreatePrivate(size, memory, &error)) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    return true;
  }
  size_t length = TextLengthBounded(name, MAX_PATH + 1);
  if (length > MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  const Module* module = PlatformModule();
  if (module == nullptr) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (!SharedMemoryOpen(ModuleShmPath(module->dir), std::u16string(name, length), size, existed, memory, &error)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return true;
}

// A section over a file of the object store shows the file's own bytes.
// Only reading them is offered, and only unnamed, so no other process can
// come to share it. The section holds the file open on its own, so the file
// handle may be closed first, as on the module.
bool OpenFileSection(HANDLE file, DWORD protection, uint64_t size, LPCWSTR name, SharedMemory* memory) {
  if (protection != PAGE_READONLY || (name != nullptr && name[0] != 0)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  int fd = FileHostDescriptor(file, GENERIC_READ);
  if (fd < 0) return false;
  HostEntry entry{};
  if (!HostStatFd(fd, &entry)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // An empty file has no bytes to show, and a read-only section cannot make
  // the file any longer.
  if (entry.size == 0) {
    SetLastError(ERROR_FILE_INVALID);
    return false;
  }
  if (size > entry.size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return false;
  }
  memory->fd = own;
  memory->size = size != 0 ? size : entry.size;
  return true;
}

}  // namespace

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                          LPCWSTR name) {
  bool onFile = file != INVALID_HANDLE_VALUE;
  DWORD protection = protect & kProtectionMask;
  uint64_t size = Combine(sizeHigh, sizeLow);
  // A file section may take its size from the file.
  if ((protection != PAGE_READONLY && protection != PAGE_READWRITE) ||
      (protect & ~(kProtectionMask | SEC_COMMIT)) != 0 || (size == 0 && !onFile)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (size > kMaxSectionBytes && !onFile) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* object = new (std::nothrow) MappingObject{{HandleKind::FileMapping, CloseMappingObject}, {}, false};
  if (object == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->writable = protection == PAGE_READWRITE;
  bool existed = false;
  bool opened = onFile ? OpenFileSection(file, protection, size, name, &object->memory)
                       : OpenSection(name, size, &object->memory, &existed);
  if (!opened) {
    delete object;
    return nullptr;
  }
  HANDLE handle = HandleRegister(&object->header);
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t bytes) {
  auto* object = HandleGet<MappingObject>(mapping, HandleKind::FileMapping);
  if (object == nullptr) return nullptr;
  bool write = (access & FILE_MAP_WRITE) != 0;
  // A copy-on-write view (FILE_MAP_COPY alone) is not offered.
  if ((access & (FILE_MAP_READ | FILE_MAP_WRITE)) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (write && !object->writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  uint64_t offset = Combine(offsetHigh, offsetLow);
  if (offset % kAllocationGranularity != 0) {
    SetLastError(ERROR_MAPPED_ALIGNMENT);
    return nullptr;
  }
  uint64_t size = object->memory.size;
  if (offset >= size || bytes > size - offset) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t length = bytes != 0 ? bytes : static_cast<size_t>(size - offset);
  std::string error;
  void* base = SharedMemoryMap(object->memory, offset, length, write, &error);
  if (base == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(g_fileMapping.lock);
  g_fileMapping.views[reinterpret_cast<uintptr_t>(base)] = length;
  return base;
}

BOOL UnmapViewOfFile(LPCVOID base) {
  size_t length = 0;
  {
    std::lock_guard<std::mutex> guard(g_fileMapping.lock);
    auto it = g_fileMapping.views.find(reinterpret_cast<uintptr_t>(base));
    if (it == g_fileMapping.views.end()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    length = it->second;
    g_fileMapping.views.erase(it);
  }
  SharedMemoryUnmap(const_cast<void*>(base), length);
  return TRUE;
}

void FileMappingResetForTests() {
  std::map<uintptr_t, size_t> views;
  {
    std::lock_guard<std::mutex> guard(g_fileMapping.lock);
    views.swap(g_fileMapping.views);
  }
  for (const auto& [base, length] : views) SharedMemoryUnmap(reinterpret_cast<void*>(base), length);
}
