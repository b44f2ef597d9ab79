#include "tests/nandos/nand_cells.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

NandCells::NandCells(const std::string& dir, uint32_t chipId) {
  std::string error;
  EXPECT_TRUE(NandArrayOpen(dir + "/flash.img", NandChipTypeOf(chipId), &array_, &error)) << error;
}

NandCells::~NandCells() { NandArrayClose(&array_); }

std::vector<uint8_t> NandCells::Data(uint32_t page) const {
  std::vector<uint8_t> data(kNandPageBytes);
  NandArrayRead(&array_, page, 0, data.data(), kNandPageBytes);
  return data;
}

uint8_t NandCells::Spare(uint32_t page, uint32_t byte) const {
  uint8_t value = 0;
  NandArrayRead(&array_, page, kNandPageBytes + byte, &value, 1);
  return value;
}

uint32_t NandCells::Word(uint32_t page, uint32_t column) const {
  uint8_t b[4];
  NandArrayRead(&array_, page, column, b, sizeof b);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

std::vector<uint8_t> SharedMapBytes(const std::string& dir) {
  std::ifstream in(dir + "/shm/NAND_FLASH_BBMT", std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

uint32_t MapMagic(const std::vector<uint8_t>& map) {
  if (map.size() < 4) return 0;
  return uint32_t{map[0]} | uint32_t{map[1]} << 8 | uint32_t{map[2]} << 16 | uint32_t{map[3]} << 24;
}

uint16_t MapEntry(const std::vector<uint8_t>& map, uint32_t block) {
  size_t at = 4 + 2 * size_t{block};
  if (map.size() < at + 2) return 0xFFFF;
  return static_cast<uint16_t>(map[at] | map[at + 1] << 8);
}
