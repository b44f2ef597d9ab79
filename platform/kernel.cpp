#include "platform/kernel.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "module/board_support.h"
#include "platform/cpu.h"
#include "platform/debug.h"
#include "platform/error.h"
#include "platform/hardware_link.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr DWORD kRequestKinds = 3;
constexpr DWORD kWordBytes = sizeof(DWORD);
constexpr DWORD kColdRestartInput = 0;

struct KernelState {
  std::atomic<DWORD> requests[kRequestKinds] = {};
  std::atomic<bool> cleanBoot{false};
};

KernelState g_kernel;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

void Report(const std::string& what) {
  OutputDebugStringW(Utf8ToUtf16("flashwright: board support: " + what + "\n").c_str());
}

void Deliver(DWORD* bytesReturned, DWORD bytes) {
  if (bytesReturned != nullptr) *bytesReturned = bytes;
}

// Records are copied out rather than cast: the caller's buffer need not be aligned.
template <typename Record>
bool ReadRecord(LPVOID in, DWORD inSize, Record* record) {
  if (in == nullptr || inSize != sizeof(Record)) return false;
  std::memcpy(record, in, sizeof(Record));
  return true;
}

bool PutWord(LPVOID out, DWORD outSize, DWORD value, DWORD* bytesReturned) {
  if (out == nullptr || outSize < kWordBytes) return false;
  std::memcpy(out, &value, kWordBytes);
  Deliver(bytesReturned, kWordBytes);
  return true;
}

BOOL RunCall(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD* bytesReturned) {
  KernelCallRecord record;
  if (!ReadRecord(in, inSize, &record) || record.function == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (out == nullptr || outSize < kWordBytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  CpuEnterPrivileged();
  DWORD result = record.function(record.argument);
  CpuLeavePrivileged();
  PutWord(out, outSize, result, bytesReturned);
  return TRUE;
}

BOOL RunMap(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD* bytesReturned) {
  KernelMapRecord record;
  if (!ReadRecord(in, inSize, &record)) return Fail(ERROR_INVALID_PARAMETER);
  if (out == nullptr || outSize < kWordBytes) return Fail(ERROR_INSUFFICIENT_BUFFER);
  CpuEnterPrivileged();
  BOOL mapped = VirtualCopy(record.virtualAddress, reinterpret_cast<LPVOID>(uintptr_t{record.physicalShifted}),
                            record.size, record.protect);
  CpuLeavePrivileged();
  if (!mapped) return FALSE;  // VirtualCopy's error stays
  PutWord(out, outSize, TRUE, bytesReturned);
  return TRUE;
}

// Nothing in the program reads this; it is for whoever looks at a dump.
BOOL RunQuery(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD* bytesReturned) {
  KernelQueryRecord record;
  if (!ReadRecord(in, inSize, &record)) return Fail(ERROR_INVALID_PARAMETER);
  if (out == nullptr || outSize < KERNEL_BOARD_INFO_BYTES) return Fail(ERROR_INSUFFICIENT_BUFFER);
  ModuleHardware* hw = PlatformHardware();
  const Module* module = PlatformModule();
  if (hw == nullptr || module == nullptr) return Fail(ERROR_NOT_SUPPORTED);
  char line[64];
  std::snprintf(line, sizeof line, "cpu_main_id=0x%08X\n", hw->processor.mainId);
  std::string text = "board=" + module->config.board + "\n" + line;
  for (const BusRange& r : hw->bus.ranges) {
    std::snprintf(line, sizeof line, "device=%s 0x%08X 0x%08X\n", r.name, r.base, r.size);
    text += line;
  }
  std::memset(out, 0, KERNEL_BOARD_INFO_BYTES);
  // The last byte stays 0, so the text always ends inside the buffer.
  std::memcpy(out, text.data(), std::min<size_t>(text.size(), KERNEL_BOARD_INFO_BYTES - 1));
  Deliver(bytesReturned, KERNEL_BOARD_INFO_BYTES);
  return TRUE;
}

BOOL KernelRequest(LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD* bytesReturned) {
  DWORD request = 0;
  if (in == nullptr || inSize < kWordBytes) return Fail(ERROR_INVALID_PARAMETER);
  std::memcpy(&request, in, kWordBytes);
  if (request >= kRequestKinds) return Fail(ERROR_INVALID_PARAMETER);
  g_kernel.requests[request]++;
  switch (request) {
    case KERNEL_REQUEST_CALL:
      return RunCall(in, inSize, out, outSize, bytesReturned);
    case KERNEL_REQUEST_MAP:
      return RunMap(in, inSize, out, outSize, bytesReturned);
    default:
      return RunQuery(in, inSize, out, outSize, bytesReturned);
  }
}

BOOL GetInfo(const std::string& dir, LPVOID in, DWORD inSize, DWORD* bytesReturned) {
  BspInfoRecord record;
  if (!ReadRecord(in, inSize, &record)) return Fail(ERROR_INVALID_PARAMETER);
  uint32_t delivered = 0;
  std::string error;
  if (!BoardGetInfo(dir, record.item, record.buffer, record.size, &delivered, &error)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Deliver(bytesReturned, delivered);
  return TRUE;
}

BOOL SetInfo(const std::string& dir, LPVOID in, DWORD inSize) {
  BspInfoRecord record;
  if (!ReadRecord(in, inSize, &record)) return Fail(ERROR_INVALID_PARAMETER);
  std::string error;
  if (!BoardSetInfo(dir, record.item, record.buffer, record.size, &error)) {
    Report(error);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return TRUE;
}

BOOL ImageVersion(const std::string& dir, LPVOID out, DWORD outSize, DWORD* bytesReturned) {
  // An output size of 0 is how the program asks: the record's size is fixed.
  if (out == nullptr || (outSize != 0 && outSize < kBoardImageVersionBytes)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::string error;
  if (!BoardGetImageVersion(dir, static_cast<uint8_t*>(out), &error)) {
    Report(error);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  Deliver(bytesReturned, kBoardImageVersionBytes);
  return TRUE;
}

BOOL ClearRegistry(const std::string& dir) {
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  if (flash == nullptr || !BoardClearRegistry(dir, *flash, &error)) {
    Report(error);
    return Fail(ERROR_WRITE_FAULT);
  }
  return TRUE;
}

BOOL Restart(const std::string& dir, LPVOID in, DWORD inSize) {
  bool cold = false;
  if (inSize != 0) {
    DWORD kind = 1;
    if (in == nullptr || inSize != kWordBytes) return Fail(ERROR_INVALID_PARAMETER);
    std::memcpy(&kind, in, kWordBytes);
    if (kind != kColdRestartInput) return Fail(ERROR_INVALID_PARAMETER);
    cold = true;
  }
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  if (flash != nullptr) BoardRestart(dir, *flash, cold, g_kernel.cleanBoot, &error);
  Report(error);
  return Fail(ERROR_NOT_SUPPORTED);
}

}  // namespace

BOOL KernelIoControl(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, DWORD* bytesReturned) {
  Deliver(bytesReturned, 0);
  if (code == IOCTL_KERNEL_REQUEST) return KernelRequest(in, inSize, out, outSize, bytesReturned);
  const Module* module = PlatformModule();
  if (module == nullptr) return Fail(ERROR_NOT_SUPPORTED);
  const std::string dir = module->dir;
  switch (code) {
    case BSP_GET_INFO:
      return GetInfo(dir, in, inSize, bytesReturned);
    case BSP_SET_INFO:
      return SetInfo(dir, in, inSize);
    case BSP_GET_IMAGE_VERSION:
      return ImageVersion(dir, out, outSize, bytesReturned);
    case BSP_CLEAR_REGISTRY:
      return ClearRegistry(dir);
    case IOCTL_HAL_REBOOT:
      return Restart(dir, in, inSize);
    default:
      return Fail(ERROR_NOT_SUPPORTED);
  }
}

void SetCleanRebootFlag() { g_kernel.cleanBoot = true; }

DWORD KernelRequestCount(DWORD request) { return request < kRequestKinds ? g_kernel.requests[request].load() : 0; }

void KernelReset() {
  for (auto& count : g_kernel.requests) count = 0;
  g_kernel.cleanBoot = false;
}
