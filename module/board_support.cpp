#include "module/board_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "module/device_manager.h"
#include "module/module_dir.h"
#include "module/registry_persist.h"
#include "module/running_image.h"

namespace {

constexpr uint32_t kConfig0Bytes = 8;
constexpr uint32_t kLayoutWords = 6;
constexpr uint32_t kHwVersionWords = 2;
constexpr uint32_t kConfig12Bytes = 4;
constexpr uint32_t kHalfWordShift = 16;
constexpr uint32_t kHalfWordMask = 0xFFFF;

struct ItemBytes {
  uint8_t bytes[kLayoutWords * sizeof(uint32_t)] = {};  // room for the largest item
  uint32_t size = 0;
};

uint32_t PackHalves(uint32_t low, uint32_t high) {
  return (low & kHalfWordMask) | (high & kHalfWordMask) << kHalfWordShift;
}

template <size_t N>
void PutWords(ItemBytes* item, const uint32_t (&words)[N]) {
  static_assert(sizeof words <= sizeof item->bytes);
  std::memcpy(item->bytes, words, sizeof words);
  item->size = sizeof words;
}

bool ComposeItem(const ModuleConfig& c, uint32_t item, ItemBytes* out) {
  switch (item) {
    case kBoardItemConfig0:
      std::memcpy(out->bytes, &c.bspItem0, kConfig0Bytes);
      out->size = kConfig0Bytes;
      return true;
    case kBoardItemFlashLayout: {
      const uint32_t words[kLayoutWords] = {
          c.layoutOsImageBase, c.layoutRegistryBase, c.layoutRegistryHalf, c.layoutSecondBootloaderBase, 0, 0};
      PutWords(out, words);
      return true;
    }
    case kBoardItemHwVersion: {
      const uint32_t words[kHwVersionWords] = {PackHalves(c.hwVersionMajor, c.hwVersionMinor), 0};
      PutWords(out, words);
      return true;
    }
    case kBoardItemConfig12:
      std::memcpy(out->bytes, &c.bspItem12, kConfig12Bytes);
      out->size = kConfig12Bytes;
      return true;
    default:
      return false;
  }
}

// An item list of a fault setting (`name`): "5" or "0, 8,12". A malformed
// list is an error rather than silently no fault, so a mistyped setting does
// not go unnoticed.
bool ItemListed(const char* name, const std::string& list, uint32_t item, bool* suppressed, std::string* error) {
  *suppressed = false;
  size_t pos = 0;
  while (pos < list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string::npos) comma = list.size();
    std::string token = list.substr(pos, comma - pos);
    size_t first = token.find_first_not_of(" \t");
    size_t last = token.find_last_not_of(" \t");
    token = first == std::string::npos ? "" : token.substr(first, last - first + 1);
    if (!token.empty()) {
      errno = 0;
      char* end = nullptr;
      unsigned long value = std::strtoul(token.c_str(), &end, 0);
      if (errno != 0 || *end != '\0' || token[0] == '-') {
        *error = std::string(name) + " holds '" + token + "', not an item number";
        return false;
      }
      if (value == item) *suppressed = true;
    }
    pos = comma + 1;
  }
  return true;
}

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// One write with O_APPEND keeps each line whole when processes log at once.
bool AppendEvent(const std::string& moduleDir, const std::string& event, std::string* error) {
  std::string line = Timestamp() + " " + event + "\n";
  std::string path = BoardEventsLogPath(moduleDir);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
  if (written != static_cast<ssize_t>(line.size())) {
    *error = "cannot append to " + path;
    return false;
  }
  return true;
}

}  // namespace

uint32_t BoardItemSize(uint32_t item) {
  ItemBytes bytes;
  return ComposeItem(ModuleConfig{}, item, &bytes) ? bytes.size : 0;
}

bool BoardGetInfo(const std::string& moduleDir, uint32_t item, void* buffer, uint32_t size, uint32_t* delivered,
                  std::string* error) {
  *delivered = 0;
  Module module;
  if (!ModuleOpen(moduleDir, &module, error)) return false;
  ItemBytes bytes;
  if (!ComposeItem(module.config, item, &bytes)) {
    *error = "the board has no information item " + std::to_string(item);
    return false;
  }
  bool suppressed = false;
  if (!ItemListed("faults.bsp_no_items", module.config.faultBspNoItems, item, &suppressed, error)) return false;
  if (suppressed) {
    *error = "item " + std::to_string(item) + " delivers nothing (faults.bsp_no_items)";
    return false;
  }
  uint32_t count = size < bytes.size ? size : bytes.size;
  if (count > 0 && buffer == nullptr) {
    *error = "no answer buffer";
    return false;
  }
  if (count > 0) std::memcpy(buffer, bytes.bytes, count);
  *delivered = count;
  return true;
}

bool BoardSetInfo(const std::string& moduleDir, uint32_t item, const void* buffer, uint32_t size, std::string* error) {
  Module module;
  if (!ModuleOpen(moduleDir, &module, error)) return false;
  ModuleConfig& c = module.config;
  uint32_t need = BoardItemSize(item);
  if (item != kBoardItemConfig0 && item != kBoardItemHwVersion && item != kBoardItemConfig12) {
    *error = "information item " + std::to_string(item) + " cannot be stored";
    return false;
  }
  if (buffer == nullptr || size < need) {
    *error = "item " + std::to_string(item) + " needs " + std::to_string(need) + " bytes";
    return false;
  }
  bool refused = false;
  if (!ItemListed("faults.bsp_set_refused", c.faultBspSetRefused, item, &refused, error)) return false;
  if (refused) {
    *error = "item " + std::to_string(item) + " cannot be written (faults.bsp_set_refused)";
    return false;
  }
  if (item == kBoardItemConfig0) {
    std::memcpy(&c.bspItem0, buffer, kConfig0Bytes);
  } else if (item == kBoardItemConfig12) {
    std::memcpy(&c.bspItem12, buffer, kConfig12Bytes);
  } else {
    uint32_t word = 0;
    std::memcpy(&word, buffer, sizeof word);
    c.hwVersionMajor = word & kHalfWordMask;
    c.hwVersionMinor = word >> kHalfWordShift;
  }
  return ModuleConfigSave(ModuleIniPath(moduleDir), c, error);
}

bool BoardGetImageVersion(const std::string& moduleDir, uint8_t out[kBoardImageVersionBytes], std::string* error) {
  Module module;
  if (!ModuleOpen(moduleDir, &module, error)) return false;
  const ModuleConfig& c = module.config;
  const uint32_t words[] = {c.imageFamily, c.imageMajor, PackHalves(c.imageMinor, c.imageBuild)};
  static_assert(sizeof words == kBoardImageVersionBytes);
  std::memcpy(out, words, sizeof words);
  return true;
}

bool BoardClearRegistry(const std::string& moduleDir, const ModuleFlash& flash, std::string* error) {
  Module module;
  if (!ModuleOpen(moduleDir, &module, error)) return false;
  return RegistryPersistClear(module, flash, error);
}

std::string BoardEventsLogPath(const std::string& moduleDir) { return moduleDir + "/events.log"; }

void BoardRestart(const std::string& moduleDir, const ModuleFlash& flash, bool cold, bool cleanBoot,
                  std::string* error) {
  Module module;
  if (!ModuleOpen(moduleDir, &module, error)) return;
  std::string event = cold ? "cold restart" : "warm restart";
  if (cleanBoot) event += " (clean boot requested)";
  if (module.config.faultRestartReturns) {
    *error = "the module did not restart (faults.restart_returns)";
    std::string logError;
    AppendEvent(moduleDir, event + ": " + *error, &logError);
    return;
  }
  // What the flash driver kept until the power went goes with it.
  std::string restartError;
  if (flash.ops->restart != nullptr && !flash.ops->restart(flash.ctx, &restartError)) {
    event += ": flash driver: " + restartError;
  }
  bool usedFactory = false;
  std::string reloadError;
  if (RegistryPersistReload(module, flash, &usedFactory, &reloadError)) {
    event += usedFactory ? ": factory registry" : ": registry from flash";
  } else {
    // The module comes up regardless; what it then has is whatever registry was live.
    event += ": registry reload failed: " + reloadError;
  }
  // Drivers come up afresh from their boot keys.
  std::string devicesError;
  if (!DeviceManagerRestart(moduleDir, &devicesError)) event += ": " + devicesError;
  // The boot starts what the flash now holds: after an update, the new OS.
  RunningImage running;
  std::string bootError;
  if (RunningImageFind(module.config, flash, &running, &bootError) && RunningImageApply(&module, running, &bootError)) {
    event += ": " + RunningImageText(running);
  } else {
    event += ": boot: " + bootError;
  }
  std::string logError;
  if (!AppendEvent(moduleDir, event, &logError)) std::fprintf(stderr, "flashwright: %s\n", logError.c_str());
  std::fflush(nullptr);
  std::fprintf(stderr, "module restarted (%s)\n", cold ? "cold" : "warm");
  std::fflush(stderr);
  // _exit, not exit: other threads of the program are still running, and a
  // reset does not run their destructors either.
  ::_exit(kModuleRestartExitStatus);
}
