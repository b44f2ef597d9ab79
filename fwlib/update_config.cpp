#include "fwlib/update_config.h"

#include <cstddef>

#include "flash/bsp.h"

namespace {

struct ConfigItem {
  uint32_t item;
  uint32_t bytes;
};

// In the order they are written back.
constexpr ConfigItem kItems[] = {
    {BSP_INFO_CONFIG_0, BSP_CONFIG_0_BYTES},
    {BSP_INFO_HW_VERSION, BSP_HW_VERSION_BYTES},
    {BSP_INFO_CONFIG_12, BSP_CONFIG_12_BYTES},
};
constexpr size_t ITEM_COUNT = sizeof kItems / sizeof kItems[0];
constexpr uint32_t LARGEST_ITEM_BYTES = 8;

struct UpdateConfigState {
  bool saved = false;
  uint8_t values[ITEM_COUNT][LARGEST_ITEM_BYTES] = {};
  uint32_t delivered[ITEM_COUNT] = {};
};

UpdateConfigState g_config;

}  // namespace

void UpdateConfigSave() {
  g_config = UpdateConfigState{};
  for (size_t i = 0; i < ITEM_COUNT; i++) {
    static_assert(BSP_CONFIG_0_BYTES <= LARGEST_ITEM_BYTES && BSP_HW_VERSION_BYTES <= LARGEST_ITEM_BYTES &&
                  BSP_CONFIG_12_BYTES <= LARGEST_ITEM_BYTES);
    g_config.delivered[i] = BspGetInfo(kItems[i].item, g_config.values[i], kItems[i].bytes);
  }
  g_config.saved = true;
}

void UpdateConfigRestore() {
  if (!g_config.saved) return;
  for (size_t i = 0; i < ITEM_COUNT; i++) {
    if (g_config.delivered[i] != 0) BspSetInfo(kItems[i].item, g_config.values[i], kItems[i].bytes);
  }
  g_config = UpdateConfigState{};
}

void UpdateConfigResetForTests() { g_config = UpdateConfigState{}; }
