#include "tests/support/flash_lock_probe.h"

#include <sys/wait.h>
#include <unistd.h>

#include "platform/handles.h"
#include "platform/sync.h"

bool OtherProcessTakesFlashLock(uint32_t timeoutMs) {
  pid_t child = ::fork();
  if (child == 0) {
    // The platform's mutex directly: starting the child's own flash layer
    // would send commands to the chips.
    HANDLE lock = CreateMutexW(nullptr, FALSE, u"OnModuleFlash");
    DWORD result = lock != nullptr ? WaitForSingleObject(lock, timeoutMs) : WAIT_FAILED;
    if (result == WAIT_OBJECT_0) ReleaseMutex(lock);
    ::_exit(result == WAIT_OBJECT_0 ? 0 : 1);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
