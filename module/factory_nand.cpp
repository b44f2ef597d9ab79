#include "module/factory_nand.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "module/nand_array.h"
#include "module/nand_block_map.h"

namespace {

constexpr uint32_t kBootBlocks = 2;       // the loader's pages and the list page
constexpr uint32_t kMarkedPages = 2;      // the chip maker marks the first two pages of a bad block
constexpr uint8_t kBadBlockMark = 0x00;

bool ParseBlock(const std::string& token, uint32_t* block) {
  size_t first = token.find_first_not_of(" \t");
  size_t last = token.find_last_not_of(" \t");
  if (first == std::string::npos) return false;
  std::string digits = token.substr(first, last - first + 1);
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || digits[0] == '-' || value > UINT32_MAX) return false;
  *block = static_cast<uint32_t>(value);
  return true;
}

// The list page that moves `bad` out of the usable range.
bool BuildList(const NandChipType* chip, const std::vector<uint32_t>& bad, uint8_t list[kNandPageBytes]) {
  NandListFormat(list);
  uint32_t usable = NandUsableBlocks(chip);
  // Withheld blocks first, so no move picks one.
  for (uint32_t block : bad) {
    if (block >= usable && !NandListWithhold(list, static_cast<uint16_t>(block))) return false;
  }
  for (uint32_t block : bad) {
    uint16_t replacement = 0;
    if (block < usable && !NandListMove(list, chip->blocks, static_cast<uint16_t>(block), &replacement)) return false;
  }
  return true;
}

}  // namespace

bool FactoryNandBadBlocks(const ModuleConfig& config, std::vector<uint32_t>* blocks, std::string* error) {
  blocks->clear();
  const NandChipType* chip = NandChipTypeOf(config.nandChipId);
  if (chip == nullptr) {
    *error = "no NAND chip has the identification in module.ini";
    return false;
  }
  const std::string& list = config.nandFactoryBad;
  for (size_t pos = 0; pos < list.size();) {
    size_t comma = std::min(list.find(',', pos), list.size());
    std::string token = list.substr(pos, comma - pos);
    pos = comma + 1;
    if (token.find_first_not_of(" \t") == std::string::npos) continue;
    uint32_t block = 0;
    if (!ParseBlock(token, &block) || block >= chip->blocks || block < kBootBlocks) {
      *error = "nand.factory_bad_blocks holds '" + token + "': not a block from " + std::to_string(kBootBlocks) +
               " to " + std::to_string(chip->blocks - 1);
      return false;
    }
    blocks->push_back(block);
  }
  std::sort(blocks->begin(), blocks->end());
  blocks->erase(std::unique(blocks->begin(), blocks->end()), blocks->end());
  uint8_t page[kNandPageBytes];
  if (!BuildList(chip, *blocks, page)) {
    *error = "nand.factory_bad_blocks: more bad blocks than the reserve of " +
             std::to_string(NandReserveBlocks(chip->blocks)) + " blocks can take";
    return false;
  }
  return true;
}

bool FactoryNandCells(const Module& module, std::string* error) {
  std::vector<uint32_t> bad;
  if (!FactoryNandBadBlocks(module.config, &bad, error)) return false;
  const NandChipType* chip = NandChipTypeOf(module.config.nandChipId);
  std::string path = ModuleFlashPath(module.dir);
  NandArray array;
  if (!NandArrayCreate(path, chip, error) || !NandArrayOpen(path, chip, &array, error)) return false;
  for (uint32_t block : bad) {
    for (uint32_t page = 0; page < kMarkedPages; page++) {
      NandArrayProgram(&array, block * kNandPagesPerBlock + page, kNandBadMarkOffset, &kBadBlockMark, 1);
    }
  }
  uint8_t list[kNandPageBytes];
  BuildList(chip, bad, list);
  // Written as the OS driver writes it: the whole page, no spare, no code.
  NandArrayProgram(&array, kNandListPage, 0, list, kNandPageBytes);
  NandArrayClose(&array);
  return true;
}
