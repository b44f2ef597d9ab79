// Requests to the module's board support package. The request codes and the
// information record come with the platform's kernel calls.
#pragma once

#include <cstdint>

#include "platform/kernel.h"

// Items of BSP_GET_INFO / BSP_SET_INFO and the bytes each holds.
constexpr uint32_t BSP_INFO_CONFIG_0 = 0;
constexpr uint32_t BSP_INFO_FLASH_LAYOUT = 5;
constexpr uint32_t BSP_INFO_HW_VERSION = 8;
constexpr uint32_t BSP_INFO_CONFIG_12 = 12;
constexpr uint32_t BSP_CONFIG_0_BYTES = 8;
constexpr uint32_t BSP_FLASH_LAYOUT_BYTES = 24;
constexpr uint32_t BSP_HW_VERSION_BYTES = 8;
constexpr uint32_t BSP_CONFIG_12_BYTES = 4;

// BSP_INFO_FLASH_LAYOUT.
struct BspFlashLayout {
  uint32_t osImageBase;
  uint32_t registryBase;
  uint32_t registryHalf;  // half the registry region's length
  uint32_t secondBootloaderBase;
  uint32_t unused[2];
};
static_assert(sizeof(BspFlashLayout) == BSP_FLASH_LAYOUT_BYTES);

// BSP_INFO_HW_VERSION word 0: major in the low half, minor in the high half.
constexpr uint32_t BSP_HW_VERSION_MINOR_SHIFT = 16;
constexpr uint32_t BSP_HW_VERSION_MAJOR_MASK = 0xFFFF;

// Version of an image: minorBuild holds the minor number in its low 16 bits
// and the beta build number (0 for a release) in its high 16 bits.
struct ImageVersion {
  uint32_t family;
  uint32_t major;
  uint32_t minorBuild;
};
static_assert(sizeof(ImageVersion) == 12);

// The bytes of `item` delivered into `buffer` (at most `size`); 0 when the
// board delivered nothing, which callers treat as failure.
uint32_t BspGetInfo(uint32_t item, void* buffer, uint32_t size);

// Stores an item (0, 8 or 12) with the board; true when it was taken.
bool BspSetInfo(uint32_t item, const void* buffer, uint32_t size);

// Version of the running OS image. The board fills the record or leaves it
// as it was; the result says whether it answered.
bool BspGetImageVersion(ImageVersion* version);

// Drops the module's persistent registry; true when the board accepted.
bool BspClearRegistry();

// Restarts the module, cold after a clean-boot request. Returns only when the
// module did not restart.
void BspReboot(bool cold);
