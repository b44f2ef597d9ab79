// A NAND module's cells and shared block map read straight from its files,
// past everything the tests check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/nand_array.h"

// Opens flash.img of the module in `dir` as the cells of chip `chipId`.
class NandCells {
 public:
  NandCells(const std::string& dir, uint32_t chipId);
  ~NandCells();
  bool ok() const { return array_.bytes != nullptr; }
  std::vector<uint8_t> Data(uint32_t page) const;
  uint8_t Spare(uint32_t page, uint32_t byte) const;
  uint32_t Word(uint32_t page, uint32_t column) const;
  const NandChipType* chip() const { return array_.chip; }

 private:
  NandArray array_;
};

// The shared map's bytes, empty when no process made it.
std::vector<uint8_t> SharedMapBytes(const std::string& dir);
uint32_t MapMagic(const std::vector<uint8_t>& map);
uint16_t MapEntry(const std::vector<uint8_t>& map, uint32_t block);
