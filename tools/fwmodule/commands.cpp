#include "tools/fwmodule/commands.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "module/flash_image.h"
#include "module/module_dir.h"
#include "module/nor_chips.h"
#include "module/registry_persist.h"
#include "module/registry_store.h"

namespace {

// Erase block flash.img is handled in when read without the chips.
constexpr uint32_t kImageBlock = 0x40000;

int Fail(const std::string& message) {
  std::fprintf(stderr, "fwmodule: %s\n", message.c_str());
  return 1;
}

void PrintRegistrySummary(const Module& module) {
  RegistryData live;
  std::string error;
  if (RegistryLoadLive(module.dir, &live, &error)) {
    size_t values = 0;
    for (const RegKey& key : live.keys) values += key.values.size();
    std::printf("registry    live: %zu keys, %zu values\n", live.keys.size(), values);
  } else {
    std::printf("registry    live: unreadable (%s)\n", error.c_str());
  }
  // Straight from the image: looking must not power the chips up.
  FlashImage image;
  std::string text;
  bool found = false;
  if (FlashImageOpen(ModuleFlashPath(module.dir), kImageBlock, &image, &error) &&
      RegistryPersistRead(module, RawFlashAccess(&image.raw), &text, &found, &error)) {
    if (found) std::printf("            persistent: %zu bytes in flash\n", text.size());
    else std::printf("            persistent: none (a restart loads the factory registry)\n");
  } else {
    std::printf("            persistent: unreadable (%s)\n", error.c_str());
  }
  FlashImageClose(&image);
}

int Dump(const Module& module, uint32_t offset, uint32_t length) {
  FlashImage image;
  std::string error;
  if (!FlashImageOpen(ModuleFlashPath(module.dir), kImageBlock, &image, &error)) return Fail(error);
  if (offset >= image.raw.size) {
    FlashImageClose(&image);
    return Fail("dump: offset is past the end of the flash");
  }
  uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{offset} + length, image.raw.size));
  for (uint32_t line = offset; line < end; line += 16) {
    std::printf("%08" PRIX32 " ", line);
    for (uint32_t i = 0; i < 16; i++) {
      if (line + i < end) std::printf(" %02X", image.raw.bytes[line + i]);
      else std::printf("   ");
    }
    std::printf("  ");
    for (uint32_t i = 0; i < 16 && line + i < end; i++) {
      uint8_t b = image.raw.bytes[line + i];
      std::putchar(b >= 0x20 && b < 0x7F ? b : '.');
    }
    std::putchar('\n');
  }
  FlashImageClose(&image);
  return 0;
}

bool ParseNumber(const std::string& text, uint32_t* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int FwmoduleDump(const std::vector<std::string>& args) {
  uint32_t offset = 0, length = 0x100;
  if (args.size() < 2 || args.size() > 3 || !ParseNumber(args[1], &offset) ||
      (args.size() == 3 && !ParseNumber(args[2], &length))) {
    return Fail("dump: name the module directory, a flash offset and optionally a length");
  }
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return Fail(error);
  return Dump(module, offset, length);
}

int FwmoduleCreate(const std::vector<std::string>& args) {
  std::string dir, board = "nor";
  std::vector<std::string> settings;
  bool force = false;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--force") force = true;
    else if (args[i] == "--set" && i + 1 < args.size()) settings.push_back(args[++i]);
    else if (args[i] == "--board" && i + 1 < args.size()) board = args[++i];
    else if (args[i].rfind("--board=", 0) == 0) board = args[i].substr(8);
    else if (dir.empty() && args[i].rfind("--", 0) != 0) dir = args[i];
    else return Fail("create: unexpected argument '" + args[i] + "'");
  }
  if (dir.empty()) return Fail("create: name the module directory");
  ModuleConfig config;
  if (!ModuleConfigForBoard(board, &config)) return Fail("create: unknown board '" + board + "'");
  std::string error;
  for (const std::string& setting : settings) {
    if (!ModuleConfigAssign(&config, setting, &error)) return Fail(error);
  }
  if (!ModuleCreateFrom(dir, config, force, &error)) return Fail(error);
  std::printf("created %s module in %s\n", board.c_str(), dir.c_str());
  return 0;
}

int FwmoduleInfo(const std::vector<std::string>& args) {
  if (args.size() != 1) return Fail("info: name one module directory");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return Fail(error);
  const ModuleConfig& c = module.config;
  uint32_t flashBytes = NorPairBytes(c.norDeviceCode);
  std::printf("module      %s\n", module.dir.c_str());
  std::printf("board       %s (processor part code %" PRIu32 ")\n", c.board.c_str(), c.cpuPartCode);
  std::printf("os          %" PRIu32 ".%" PRIu32 " build %" PRIu32 "\n", c.osMajor, c.osMinor, c.osBuild);
  std::printf("hardware    %" PRIu32 ".%" PRIu32 "\n", c.hwVersionMajor, c.hwVersionMinor);
  std::printf("flash       NOR pair, device code 0x%04" PRIX32 ", %" PRIu32 " MB (0x%08" PRIX32 " bytes), %s timing\n",
              c.norDeviceCode, flashBytes >> 20, flashBytes, c.timing == ModuleTiming::Fast ? "fast" : "realistic");
  std::printf("layout      OS image 0x%08" PRIX32 ", registry 0x%08" PRIX32 " (2 x 0x%" PRIX32 ")\n",
              c.layoutOsImageBase, c.layoutRegistryBase, c.layoutRegistryHalf);
  PrintRegistrySummary(module);
  return 0;
}

int FwmoduleFault(const std::vector<std::string>& args) {
  if (args.size() < 2) return Fail("fault: name the module directory and at least one SECTION.KEY=VALUE");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return Fail(error);
  for (size_t i = 1; i < args.size(); i++) {
    if (!ModuleConfigAssign(&module.config, args[i], &error)) return Fail(error);
  }
  // Written only when every setting was accepted, so a typo changes nothing.
  if (!ModuleConfigSave(ModuleIniPath(module.dir), module.config, &error)) return Fail(error);
  return 0;
}
