#include "module/nand_chips.h"

namespace {

// Identification bytes as the datasheets give them: maker, device, then the
// organisation bytes (page 2 KB, spare 64, block 128 KB, x8).
constexpr NandChipType kChips[] = {
    {0xD3EC, {0xEC, 0xD3, 0x51, 0x95, 0x58}, 8192, 0, 3, 0x0185D000},
    {0xF1EC, {0xEC, 0xF1, 0x00, 0x95, 0x40}, 1024, 0, 2, 0x0105D000},
    {0xDAEC, {0xEC, 0xDA, 0x10, 0x95, 0x44}, 2048, 0, 3, 0x0105D000},
    {0xDCEC, {0xEC, 0xDC, 0x10, 0x95, 0x54}, 4096, 0, 3, 0x0105D000},
    // Two 4096-block dies behind two chip selects.
    {0xDCAD, {0xAD, 0xDC, 0x10, 0x95, 0x54}, 8192, 0x40000, 3, 0x0104D000},
};

}  // namespace

const NandChipType* NandChipTypeOf(uint32_t id) {
  for (const NandChipType& chip : kChips) {
    if (chip.id == id) return &chip;
  }
  return nullptr;
}
