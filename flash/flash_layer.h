// The only road to the module's flash: the cross-process lock shared with the
// module's own flash driver, the driver chosen by the processor, and the
// operation table through which the library erases, writes and reads.
#pragma once

#include <cstdint>

#include "platform/types.h"

// Erase progress: (bytes done, bytes total); 0 aborts the erase.
using FlashProgressHook = int (*)(uint32_t done, uint32_t total);

// The operation slots. Offsets are byte offsets from the start of the flash,
// lengths are bytes, buffers are the caller's 32-bit words. "Success" is a
// nonzero result. No slot takes the lock: the caller holds it.
struct FlashOpsTable {
  uint32_t (*Erase)(uint32_t offset, uint32_t length);
  uint32_t (*Write)(const uint32_t* source, uint32_t offset, uint32_t length);
  uint32_t (*WriteWord)(uint32_t offset, uint32_t value);
  uint32_t (*Read)(uint32_t* destination, uint32_t offset, uint32_t length);
  uint32_t (*ReadWord)(uint32_t offset);
  uint32_t (*BlockSize)(uint32_t offset);
  uint32_t (*PageSize)();  // empty on NOR
  int (*SetEcc)(int on);   // returns the previous setting
};

constexpr uint32_t FLASH_TYPE_NONE = 0;
constexpr uint32_t FLASH_TYPE_NOR = 1;
constexpr uint32_t FLASH_TYPE_NAND = 2;

constexpr uint32_t FLASH_PART_CODE_PXA270 = 17;

// Causes the NAND driver leaves after each operation.
constexpr uint32_t FLASH_ERR_NONE = 0;
constexpr uint32_t FLASH_ERR_TIMEOUT = 1;
constexpr uint32_t FLASH_ERR_FAILED = 2;
constexpr uint32_t FLASH_ERR_ECC_CORRECTED = 3;
constexpr uint32_t FLASH_ERR_ECC_UNCORRECTABLE = 4;
constexpr uint32_t FLASH_ERR_UNKNOWN_CHIP = 5;
constexpr uint32_t FLASH_ERR_NO_BBT = 7;
constexpr uint32_t FLASH_ERR_RESERVE_EXHAUSTED = 8;

constexpr uint32_t FLASH_WAIT_FOREVER = 0xFFFFFFFF;

// Read directly by the library.
extern FlashOpsTable FlashOps;
extern uint32_t FlashType;
extern uint32_t FlashSize;
extern uint32_t FlashError;

// Returns FlashType (0 on failure). Idempotent once it succeeded.
uint32_t FlashInit();
// What the flash was last waited for in vain (the step and the status
// seen), empty when nothing timed out.
const WCHAR* FlashNoAnswer();
// Closes the lock handle and forgets the driver; returns 1.
uint32_t FlashRelease();
// 1 when the lock is held (also when taken over from an owner that died
// holding it), 0 otherwise (time-out, error).
uint32_t FlashLock(uint32_t timeoutMs);
void FlashUnlock();
void FlashSetProgress(FlashProgressHook hook, uint32_t step);

// The progress protocol every driver's Erase follows: the hook is asked
// before each block whenever `done` has reached `next`, so it is first asked
// with 0 before anything is erased, and a step of 0 asks before every block.
struct FlashEraseProgress {
  uint32_t done;
  uint32_t next;
  uint32_t total;
};
FlashEraseProgress FlashEraseProgressStart(uint32_t total);
// False when the hook asked to stop: the erase must fail before this block.
bool FlashEraseProgressBeforeBlock(FlashEraseProgress* progress);

// While set, FlashLock fails as a wait that went wrong would (tests only).
void FlashLockRefuseForTests(bool refuse);

// Back to the state at process start (tests only; a live lock handle is closed).
void FlashLayerResetForTests();
