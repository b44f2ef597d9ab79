#include "tools/fwmodule/commands.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "module/cpld_model.h"
#include "module/module_dir.h"
#include "module/module_image.h"
#include "module/nand_model.h"
#include "tools/common/format.h"

namespace {

constexpr uint32_t kLineBytes = 16;
constexpr uint32_t kDumpChunkLines = 256;
constexpr uint8_t kFirstPrintable = 0x20;
constexpr uint8_t kLastPrintable = 0x7E;

// Hex lines of `count` bytes, the first at `address`.
void PrintLines(uint32_t address, const uint8_t* bytes, uint32_t count) {
  for (uint32_t line = 0; line < count; line += kLineBytes) {
    std::printf("%08" PRIX32 " ", address + line);
    for (uint32_t i = 0; i < kLineBytes; i++) {
      if (line + i < count) std::printf(" %02X", bytes[line + i]);
      else std::printf("   ");
    }
    std::printf("  ");
    for (uint32_t i = 0; i < kLineBytes && line + i < count; i++) {
      uint8_t b = bytes[line + i];
      std::putchar(b >= kFirstPrintable && b <= kLastPrintable ? b : '.');
    }
    std::putchar('\n');
  }
}

// The flash as the module's OS sees it: on NAND the logical flash.
int Dump(const Module& module, uint32_t offset, uint32_t length) {
  ModuleImage image;
  std::string error;
  if (!ModuleImageOpen(module, &image, &error)) return FwmoduleFail(error);
  uint32_t size = image.flash.ops->size(image.flash.ctx);
  if (offset >= size) {
    ModuleImageClose(&image);
    return FwmoduleFail("dump: offset is past the end of the flash");
  }
  uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{offset} + length, size));
  std::vector<uint8_t> chunk(kDumpChunkLines * kLineBytes);
  for (uint32_t at = offset; at < end;) {
    uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(chunk.size()), end - at);
    if (!ModuleFlashRead(image.flash, at, chunk.data(), count)) {
      ModuleImageClose(&image);
      return FwmoduleFail(Format("dump: cannot read the flash at 0x%08" PRIX32, at));
    }
    PrintLines(at, chunk.data(), count);
    at += count;
  }
  ModuleImageClose(&image);
  return 0;
}

// A physical page of the NAND chip as the cells hold it, data and spare.
int DumpPage(const Module& module, uint32_t page) {
  if (!ModuleIsNand(module.config)) return FwmoduleFail("dump: --page is for NAND boards; this one has NOR flash");
  ModuleImage image;
  std::string error;
  if (!ModuleImageOpen(module, &image, &error)) return FwmoduleFail(error);
  uint32_t pages = NandChipPages(NandModelChip(image.nand));
  uint8_t record[kNandPageRecordBytes];
  bool read = page < pages && NandModelReadPage(image.nand, page, record, record + kNandPageBytes, false) ==
                                  NandResult::Ok;
  ModuleImageClose(&image);
  if (!read) return FwmoduleFail(Format("dump: the chip has pages 0 to %" PRIu32, pages - 1));
  std::printf("physical page %" PRIu32 " (page %" PRIu32 " of block %" PRIu32 "), data:\n", page,
              page % kNandPagesPerBlock, page / kNandPagesPerBlock);
  PrintLines(0, record, kNandPageBytes);
  std::printf("spare:\n");
  PrintLines(kNandPageBytes, record + kNandPageBytes, kNandSpareBytes);
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
  uint32_t offset = 0, length = 0x100, page = 0;
  bool byPage = args.size() == 3 && args[1] == "--page";
  if (byPage ? !ParseNumber(args[2], &page)
             : args.size() < 2 || args.size() > 3 || !ParseNumber(args[1], &offset) ||
                   (args.size() == 3 && !ParseNumber(args[2], &length))) {
    return FwmoduleFail("dump: name the module directory, a flash offset and optionally a length, or --page N");
  }
  Module module;
  std::string error;
  if (!ModuleOpen(args[0], &module, &error)) return FwmoduleFail(error);
  return byPage ? DumpPage(module, page) : Dump(module, offset, length);
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
  if (!ModuleFlashCheckConfig(config, &error) || !CpldCheckConfig(config, &error) ||
      !ModuleCreateFrom(dir, config, force, &error)) {
    return FwmoduleFail(error);
  }
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
  if (!ModuleFlashCheckConfig(module.config, &error) || !CpldCheckConfig(module.config, &error)) {
    return FwmoduleFail("fault: " + error);
  }
  if (!ModuleConfigSave(ModuleIniPath(module.dir), module.config, &error)) return FwmoduleFail(error);
  return 0;
}
