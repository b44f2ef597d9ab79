#include "fwlib/update_config.h"

#include <cstddef>
#include <cstring>

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

// The board must hold the item as saved: a write it takes but does not keep
// is as lost as one it refuses.
bool WriteBack(size_t i) {
  if (!BspSetInfo(kItems[i].item, g_config.values[i], kItems[i].bytes)) return false;
  uint8_t now[LARGEST_ITEM_BYTES] = {};
  uint32_t delivered = BspGetInfo(kItems[i].item, now, kItems[i].bytes);
  return delivered == g_config.delivered[i] && std::memcmp(now, g_config.values[i], delivered) == 0;
}

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

bool UpdateConfigRestore() {
  if (!g_config.saved) return true;
  bool kept = true;
  for (size_t i = 0; i < ITEM_COUNT; i++) {
    // One lost item is no reason to give up the others.
    if (g_config.delivered[i] != 0 && !WriteBack(i)) kept = false;
  }
  g_config = UpdateConfigState{};
  return kept;
}

void UpdateConfigResetForTests() { g_config = UpdateConfigState{}; }
