#include "tools/fwmodule/nand_info.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "module/nand_block_map.h"
#include "module/nand_model.h"
#include "module/nand_os_driver.h"
#include "tools/common/format.h"

namespace {

constexpr uint32_t kMarkedPages = 2;  // the chip maker marks a bad block's first two pages
constexpr uint8_t kErasedByte = 0xFF;
constexpr uint32_t kKiloShift = 10;
constexpr uint32_t kMegaShift = 20;

// Blocks with a mark where the chip maker puts one.
std::string MarkedBlocks(NandModel* nand) {
  const NandChipType* chip = NandModelChip(nand);
  std::string list;
  uint8_t spare[kNandSpareBytes];
  for (uint32_t block = 0; block < chip->blocks; block++) {
    bool marked = false;
    for (uint32_t page = 0; page < kMarkedPages && !marked; page++) {
      NandResult r = NandModelReadPage(nand, block * kNandPagesPerBlock + page, nullptr, spare, false);
      marked = r == NandResult::Ok && spare[0] != kErasedByte;
    }
    if (marked) list += (list.empty() ? "" : ", ") + std::to_string(block);
  }
  return list.empty() ? "none" : list;
}

}  // namespace

void PrintNandChip(const ModuleConfig& c) {
  const NandChipType* chip = NandChipTypeOf(c.nandChipId);
  if (chip == nullptr) {
    std::printf("flash       NAND chip 0x%04" PRIX32 ", which no model knows\n", c.nandChipId);
    return;
  }
  uint32_t reserve = NandReserveBlocks(chip->blocks);
  uint32_t usable = NandUsableBytes(chip);
  std::printf("flash       NAND chip 0x%04" PRIX32 ", %" PRIu32 " blocks of %" PRIu32 " KB (pages of %" PRIu32
              " + %" PRIu32 " spare bytes), %s timing\n",
              c.nandChipId, chip->blocks, kNandBlockBytes >> kKiloShift, kNandPageBytes, kNandSpareBytes,
              c.timing == ModuleTiming::Fast ? "fast" : "realistic");
  std::printf("            reserve %" PRIu32 " blocks (%" PRIu32 "-%" PRIu32 "), usable %" PRIu32
              " MB (0x%08" PRIX32 " bytes of logical flash)\n",
              reserve, chip->blocks - reserve, chip->blocks - 1, usable >> kMegaShift, usable);
}

void PrintNandTables(const Module& module, const ModuleImage& image) {
  uint8_t list[kNandPageBytes];
  if (!NandOsReadListPage(image.nand, list) || !NandListHasHeader(list)) {
    std::printf("bad blocks  list page (physical page 63): NO HEADER, the chip cannot be used\n");
  } else {
    uint32_t count = NandListCount(list);
    std::printf("bad blocks  list page (physical page 63): %" PRIu32 " entr%s\n", count, count == 1 ? "y" : "ies");
    for (uint32_t i = 0; i < count; i++) {
      NandListEntry e = NandListEntryAt(list, i);
      if (e.logical == kNandListCancelled) {
        std::printf("              block %" PRIu16 " withheld (cancelled entry)\n", e.replacement);
      } else {
        std::printf("              block %" PRIu16 " -> %" PRIu16 "\n", e.logical, e.replacement);
      }
    }
  }
  std::printf("            marked bad by the chip maker: %s\n", MarkedBlocks(image.nand).c_str());
  NandBlockMap map;
  bool built = false;
  std::string error;
  bool readable = NandBlockMapOpenIfBuilt(ModuleShmPath(module.dir), &map, &built, &error);
  std::string state = !readable ? "unreadable (" + error + ")"
                      : built   ? "built this boot"
                                : "not built (the next start builds it)";
  NandBlockMapClose(&map);
  std::printf("block map   NAND_FLASH_BBMT %s; the OS driver %s\n", state.c_str(),
              module.config.nandOsDriver ? "builds it at module start" : "is off (the first program builds it)");
}
