// The NAND faults of module.ini, by physical block and page of the chip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/module_config.h"
#include "module/nand_chips.h"

// A block whose programs (or erases) succeed `okLeft` more times and fail
// from then on.
struct NandWearingBlock {
  uint32_t block = 0;
  uint64_t okLeft = 0;
};

struct NandFaults {
  std::vector<uint32_t> factoryBad;  // marked bad by the chip maker; program and erase fail
  std::vector<uint32_t> badBlocks;   // gone bad in use; program and erase fail
  std::vector<NandWearingBlock> programFail;
  std::vector<NandWearingBlock> eraseFail;
  std::vector<uint32_t> correctable;    // pages read with one flipped bit
  std::vector<uint32_t> uncorrectable;  // pages read with two flipped bits in one correction step
  bool any = false;
};

// Reads the lists of `config` for `chip`; false with `error` naming the
// setting when one is malformed or names a block or page the chip lacks.
bool NandFaultsLoad(const ModuleConfig& config, const NandChipType* chip, NandFaults* faults, std::string* error);

// Counts one program (or erase) of `block`; true when it is to fail.
bool NandFaultProgramFails(NandFaults* faults, uint32_t block);
bool NandFaultEraseFails(NandFaults* faults, uint32_t block);

// Flips the page's faulty bits in a page record just read from the cells.
void NandFaultFlipBits(const NandFaults& faults, uint32_t page, uint8_t* record);
