#include "module/cell_changes.h"

#include <atomic>

#include "module/shared_memory.h"

namespace {

constexpr uint64_t kBlockBytes = 4096;

}  // namespace

bool CellChangesOpen(const std::string& shmDir, const std::u16string& name, CellChanges* changes,
                     std::string* error) {
  *changes = CellChanges{};
  SharedMemory memory;
  bool existed = false;
  if (!SharedMemoryOpen(shmDir, name, kBlockBytes, &existed, &memory, error)) return false;
  void* view = nullptr;
  if (memory.size < sizeof(uint64_t)) {
    *error = "the block of the flash cells' change count is too small";
  } else {
    view = SharedMemoryMap(memory, 0, sizeof(uint64_t), true, error);
  }
  SharedMemoryClose(&memory);
  changes->count = static_cast<uint64_t*>(view);
  return view != nullptr;
}

void CellChangesClose(CellChanges* changes) {
  if (changes->count != nullptr) SharedMemoryUnmap(changes->count, sizeof *changes->count);
  *changes = CellChanges{};
}

// Other processes add to the same word, so only an atomic add keeps every change.
void CellChangesCount(CellChanges* changes) {
  if (changes->count != nullptr) std::atomic_ref<uint64_t>(*changes->count).fetch_add(1);
}

bool CellChangesNow(const CellChanges& changes, uint64_t* count) {
  if (changes.count == nullptr) return false;
  *count = std::atomic_ref<uint64_t>(*changes.count).load();
  return true;
}
