#include "module/flash_lock.h"

#include "module/named_mutex.h"
#include "module/registry_persist.h"

namespace {

constexpr uint32_t kFlashLockTimeoutMs = 60000;

}  // namespace

NamedMutex* ModuleFlashLock(const Module& module, std::string* error) {
  bool existed = false;
  NamedMutex* mutex = NamedMutexOpen(ModuleLocksPath(module.dir), kModuleFlashLockName, &existed, error);
  if (mutex == nullptr) return nullptr;
  NamedMutexResult result = NamedMutexLock(mutex, kFlashLockTimeoutMs);
  if (result == NamedMutexResult::Acquired || result == NamedMutexResult::Abandoned) return mutex;
  *error = result == NamedMutexResult::Timeout ? "the module's flash stays busy" : "cannot take the flash lock";
  NamedMutexClose(mutex);
  return nullptr;
}

void ModuleFlashUnlock(NamedMutex* held) {
  NamedMutexUnlock(held);
  NamedMutexClose(held);
}
