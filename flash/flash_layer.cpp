#include "flash/flash_layer.h"

#include "flash/flash_trace.h"
#include "flash/hardware.h"
#include "flash/nand.h"
#include "flash/nand_controller.h"
#include "flash/nor.h"
#include "platform/debug.h"
#include "platform/handles.h"
#include "platform/sync.h"

FlashOpsTable FlashOps = {};
uint32_t FlashType = FLASH_TYPE_NONE;
uint32_t FlashSize = 0;
uint32_t FlashError = FLASH_ERR_NONE;

namespace {

// The same name as the module's own flash driver uses: both must exclude each other.
constexpr const WCHAR* kFlashMutexName = u"OnModuleFlash";

struct FlashLayerState {
  bool initialised = false;
  HANDLE lock = nullptr;
  FlashProgressHook hook = nullptr;
  uint32_t step = 0;
  bool lockRefused = false;  // tests: every wait for the lock fails
};

FlashLayerState g_layer;

}  // namespace

uint32_t FlashInit() {
  if (g_layer.initialised) return FlashType;
  HANDLE lock = CreateMutexW(nullptr, FALSE, kFlashMutexName);
  if (lock == nullptr) return 0;
  g_layer.lock = lock;
  // Set before locking: FlashLock would otherwise start a second initialisation.
  g_layer.initialised = true;
  FlashLock(FLASH_WAIT_FOREVER);
  if (CpuPartCode() == FLASH_PART_CODE_PXA270) {
    FlashType = FLASH_TYPE_NOR;
    g_layer.initialised = NorInit() != 0;
    NorFillOps(&FlashOps);
  } else {
    FlashType = FLASH_TYPE_NAND;
    g_layer.initialised = NandInit() != 0;
    NandFillOps(&FlashOps);
  }
  FlashUnlock();
  if (DebugTraceOn()) FlashTraceWrap(&FlashOps);
  if (!g_layer.initialised) FlashRelease();
  return FlashType;
}

uint32_t FlashRelease() {
  if (g_layer.lock != nullptr) CloseHandle(g_layer.lock);
  FlashType = FLASH_TYPE_NONE;
  g_layer.lock = nullptr;
  g_layer.initialised = false;
  return 1;
}

uint32_t FlashLock(uint32_t timeoutMs) {
  if (!g_layer.initialised) FlashInit();
  if (g_layer.lock == nullptr || g_layer.lockRefused) return 0;
  DWORD result = WaitForSingleObject(g_layer.lock, timeoutMs);
  if (result == WAIT_ABANDONED) {
    // The owner died holding it; the mutex is ours now, and refusing it would
    // leave it held by nobody who will ever release it.
    OutputDebugStringW(u"OnModuleFlash: taken over from an owner that ended without releasing it\n");
    return 1;
  }
  return result == WAIT_OBJECT_0 ? 1 : 0;
}

void FlashUnlock() {
  if (g_layer.lock != nullptr) ReleaseMutex(g_layer.lock);
}

void FlashSetProgress(FlashProgressHook hook, uint32_t step) {
  g_layer.hook = hook;
  g_layer.step = step;
}

FlashEraseProgress FlashEraseProgressStart(uint32_t total) { return FlashEraseProgress{0, 0, total}; }

bool FlashEraseProgressBeforeBlock(FlashEraseProgress* progress) {
  if (g_layer.hook != nullptr && progress->done >= progress->next) {
    if (g_layer.hook(progress->done, progress->total) == 0) return false;
    progress->next += g_layer.step;
  }
  return true;
}

void FlashLockRefuseForTests(bool refuse) { g_layer.lockRefused = refuse; }

void FlashLayerResetForTests() {
  FlashRelease();
  g_layer = FlashLayerState{};
  FlashOps = FlashOpsTable{};
  FlashSize = 0;
  FlashError = FLASH_ERR_NONE;
}

const WCHAR* FlashNoAnswer() { return NandNoAnswer(); }
