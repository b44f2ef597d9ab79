#include "flash/bsp.h"

namespace {

constexpr DWORD BSP_COLD_RESTART = 0;  // the restart's input word that asks for a cold start

}  // namespace

uint32_t BspGetInfo(uint32_t item, void* buffer, uint32_t size) {
  BspInfoRecord record{item, buffer, size};
  DWORD delivered = 0;
  if (!KernelIoControl(BSP_GET_INFO, &record, sizeof record, buffer, size, &delivered)) return 0;
  return delivered;
}

bool BspSetInfo(uint32_t item, const void* buffer, uint32_t size) {
  // The record's buffer is not const because the same record serves reads;
  // the board only reads it here.
  BspInfoRecord record{item, const_cast<void*>(buffer), size};
  return KernelIoControl(BSP_SET_INFO, &record, sizeof record, nullptr, 0, nullptr) != FALSE;
}

bool BspGetImageVersion(ImageVersion* version) {
  // An output size of 0: the board knows the record's size.
  return KernelIoControl(BSP_GET_IMAGE_VERSION, nullptr, 0, version, 0, nullptr) != FALSE;
}

bool BspClearRegistry() { return KernelIoControl(BSP_CLEAR_REGISTRY, nullptr, 0, nullptr, 0, nullptr) != FALSE; }

void BspReboot(bool cold) {
  if (!cold) {
    KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
    return;
  }
  SetCleanRebootFlag();
  DWORD input = BSP_COLD_RESTART;
  KernelIoControl(IOCTL_HAL_REBOOT, &input, sizeof input, nullptr, 0, nullptr);
}
