#include "module/nand_faults.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "module/nand_ecc.h"

namespace {

// Where a weak page's bits flip: one bit, or two bits of different bytes in
// the same correction step (the code tells those from one).
constexpr uint32_t kFlipByte = 0x123;
constexpr uint8_t kFlipBit = 0x08;
constexpr uint32_t kSecondFlipByte = kFlipByte + 0x11;
constexpr uint8_t kSecondFlipBit = 0x20;
static_assert(kFlipByte / kNandEccStepBytes == kSecondFlipByte / kNandEccStepBytes);

constexpr char kWearMark = '@';

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

// Calls `take` with each "N" or, where `wear` allows it, "N@M" of a
// comma-separated list, M being 0 where not given.
template <typename Take>
bool ForEachEntry(const char* name, const std::string& list, bool wear, uint64_t limit, const char* unit,
                  std::string* error, Take take) {
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = std::min(list.find(',', pos), list.size());
    std::string token = Trim(list.substr(pos, comma - pos));
    pos = comma + 1;
    if (token.empty()) continue;
    size_t at = wear ? token.find(kWearMark) : std::string::npos;
    uint64_t number = 0;
    uint64_t after = 0;
    bool ok = ParseNumber(Trim(token.substr(0, at)), &number) &&
              (at == std::string::npos || ParseNumber(Trim(token.substr(at + 1)), &after));
    if (!ok) {
      *error = std::string(name) + " holds '" + token + "', not a " + unit + (wear ? " (or B@N)" : "") + " number";
      return false;
    }
    if (number >= limit) {
      *error = std::string(name) + " names " + unit + " " + std::to_string(number) + " but the chip has " +
               std::to_string(limit);
      return false;
    }
    take(static_cast<uint32_t>(number), after);
  }
  return true;
}

bool Numbers(const char* name, const std::string& list, uint64_t limit, const char* unit, std::vector<uint32_t>* out,
             std::string* error) {
  return ForEachEntry(name, list, false, limit, unit, error, [&](uint32_t n, uint64_t) { out->push_back(n); });
}

bool Wearing(const char* name, const std::string& list, uint64_t limit, std::vector<NandWearingBlock>* out,
             std::string* error) {
  return ForEachEntry(name, list, true, limit, "block", error,
                      [&](uint32_t n, uint64_t okLeft) { out->push_back(NandWearingBlock{n, okLeft}); });
}

bool Listed(const std::vector<uint32_t>& list, uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool Wears(std::vector<NandWearingBlock>* list, uint32_t block) {
  bool fails = false;
  for (NandWearingBlock& entry : *list) {
    if (entry.block != block) continue;
    if (entry.okLeft == 0) fails = true;
    else entry.okLeft--;
  }
  return fails;
}

}  // namespace

bool NandFaultsLoad(const ModuleConfig& config, const NandChipType* chip, NandFaults* faults, std::string* error) {
  *faults = NandFaults{};
  uint64_t blocks = chip->blocks;
  uint64_t pages = NandChipPages(chip);
  bool ok = Numbers("nand.factory_bad_blocks", config.nandFactoryBad, blocks, "block", &faults->factoryBad, error) &&
            Numbers("faults.nand_bad_blocks", config.faultNandBadBlocks, blocks, "block", &faults->badBlocks, error) &&
            Wearing("faults.nand_program_fail", config.faultNandProgramFail, blocks, &faults->programFail, error) &&
            Wearing("faults.nand_erase_fail", config.faultNandEraseFail, blocks, &faults->eraseFail, error) &&
            Numbers("faults.nand_correctable_pages", config.faultNandCorrectable, pages, "page",
                    &faults->correctable, error) &&
            Numbers("faults.nand_uncorrectable_pages", config.faultNandUncorrectable, pages, "page",
                    &faults->uncorrectable, error);
  faults->any = !faults->factoryBad.empty() || !faults->badBlocks.empty() || !faults->programFail.empty() ||
                !faults->eraseFail.empty() || !faults->correctable.empty() || !faults->uncorrectable.empty();
  return ok;
}

bool NandFaultProgramFails(NandFaults* faults, uint32_t block) {
  if (!faults->any) return false;
  // Every listed wear counts the program, whichever of them fails it.
  bool wornOut = Wears(&faults->programFail, block);
  return wornOut || Listed(faults->factoryBad, block) || Listed(faults->badBlocks, block);
}

bool NandFaultEraseFails(NandFaults* faults, uint32_t block) {
  if (!faults->any) return false;
  bool wornOut = Wears(&faults->eraseFail, block);
  return wornOut || Listed(faults->factoryBad, block) || Listed(faults->badBlocks, block);
}

void NandFaultFlipBits(const NandFaults& faults, uint32_t page, uint8_t* record) {
  if (!faults.any) return;
  bool two = Listed(faults.uncorrectable, page);
  if (!two && !Listed(faults.correctable, page)) return;
  record[kFlipByte] ^= kFlipBit;
  if (two) record[kSecondFlipByte] ^= kSecondFlipBit;
}
