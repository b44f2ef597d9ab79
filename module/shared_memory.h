// Shared memory of a module: a file per name under the module's shm/ folder,
// mapped shared, so every process attached to the same module sees the same
// bytes. Unnamed blocks live in an anonymous memory file of this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SharedMemory {
  int fd = -1;
  uint64_t size = 0;
};

// Opens the block `name` of the module whose shm folder is `shmDir`, creating
// it zero-filled with `size` bytes when it does not exist yet. An existing
// block keeps its own size; `existed` tells which case it was.
bool SharedMemoryOpen(const std::string& shmDir, const std::u16string& name, uint64_t size, bool* existed,
                      SharedMemory* memory, std::string* error);

// A zero-filled block of this process only.
bool SharedMemoryCreatePrivate(uint64_t size, SharedMemory* memory, std::string* error);

// Maps `bytes` from `offset` (a multiple of the page size; the range must lie
// inside the block). Every view of one block shows the same bytes. Null with
// `error` set on failure.
void* SharedMemoryMap(const SharedMemory& memory, uint64_t offset, size_t bytes, bool writable,
                      std::string* error);

// Undoes one SharedMemoryMap.
bool SharedMemoryUnmap(void* base, size_t bytes);

// Closes the block; views stay valid until they are unmapped.
void SharedMemoryClose(SharedMemory* memory);
