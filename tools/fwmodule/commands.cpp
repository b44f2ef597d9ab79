#include "tools/fwmodule/commands.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "module/flash_image.h"
#include "module/module_dir.h"
#include "module/nor_model.h"

namespace {

int Dump(const Module& module, uint32_t offset, uint32_t length) {
  FlashImage image;
  std::string error;
  if (!FlashImageOpen(ModuleFlashPath(module.dir), kFwmoduleImageBlock, &image, &error)) return FwmoduleFail(error);
  if (offset >= image.raw.size) {
    FlashImageClose(&image);
    return FwmoduleFail("dump: offset is past the end of the flash");
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

int FwmoduleFail(const std::string& message) {
  std::fprintf(stderr, "fwmodule: %s\n", message.c_str());
  return 1;
}

int FwmoduleDump(const std::vector<std::string>& args) {
  uint32_t offset = 0, length = 0x100;
  if (args.size() < 2 || args.size() > 3 || !ParseNumber(args[1], &offset) ||
      (args.size() == 3 && !ParseNumber(args[2], &length))) {
    return FwmoduleFail("dump: name the module directory, a flash offset and optionally a length");
  }
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return FwmoduleFail(error);
  return Dump(module, offset, length);
}

int FwmoduleCreate(const std::vector<std::string>& args) {
  std::string dir, board = "nor";
  std::vector<std::string> settings;
  bool force = false, twoStage = false;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--force") force = true;
    else if (args[i] == "--two-stage") twoStage = true;
    else if (args[i] == "--set" && i + 1 < args.size()) settings.push_back(args[++i]);
    else if (args[i] == "--board" && i + 1 < args.size()) board = args[++i];
    else if (args[i].rfind("--board=", 0) == 0) board = args[i].substr(8);
    else if (dir.empty() && args[i].rfind("--", 0) != 0) dir = args[i];
    else return FwmoduleFail("create: unexpected argument '" + args[i] + "'");
  }
  if (dir.empty()) return FwmoduleFail("create: name the module directory");
  ModuleConfig config;
  if (!ModuleConfigForBoard(board, &config)) return FwmoduleFail("create: unknown board '" + board + "'");
  std::string error;
  // Last, so that a second bootloader base given with --set is kept and only
  // a missing one gets the default.
  if (twoStage) settings.push_back("board.two_stage=true");
  for (const std::string& setting : settings) {
    if (!ModuleConfigAssign(&config, setting, &error)) return FwmoduleFail(error);
  }
  if (!NorModelCheckConfig(config, &error) || !ModuleCreateFrom(dir, config, force, &error)) return FwmoduleFail(error);
  std::printf("created %s module in %s\n", board.c_str(), dir.c_str());
  return 0;
}

int FwmoduleFault(const std::vector<std::string>& args) {
  if (args.size() < 2) return FwmoduleFail("fault: name the module directory and at least one SECTION.KEY=VALUE");
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return FwmoduleFail(error);
  for (size_t i = 1; i < args.size(); i++) {
    if (!ModuleConfigAssign(&module.config, args[i], &error)) return FwmoduleFail(error);
  }
  // Written only when every setting was accepted and the flash still opens
  // with them, so a typo changes nothing.
  if (!NorModelCheckConfig(module.config, &error)) return FwmoduleFail("fault: " + error);
  if (!ModuleConfigSave(ModuleIniPath(module.dir), module.config, &error)) return FwmoduleFail(error);
  return 0;
}
