// The boards a test suite runs on, as test parameters named after them.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "module/nand_block_map.h"
#include "module/nand_chips.h"

inline constexpr const char* kBoards[] = {"nor", "nand"};

inline std::string BoardName(const ::testing::TestParamInfo<const char*>& info) { return info.param; }

// A readable test name from free text ("program fails, block moved" ->
// "program_fails__block_moved").
inline std::string TestNameOf(const char* text) {
  std::string name;
  for (const char* c = text; *c != 0; c++) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return name;
}

// The NAND board's chip, unless a test chooses another.
inline constexpr uint32_t kNandBoardChip = 0xDAEC;

// Settings that make physical block `block` fail under `key`
// (faults.nand_program_fail or faults.nand_erase_fail) and every block of the
// board chip's reserve fail too: the block then has nowhere to move to. Half
// the reserve goes bad outright, so that no line of module.ini grows past
// what its reader takes (200 characters).
inline std::vector<std::string> NandFaultsWithoutReserve(const char* key, uint32_t block) {
  const NandChipType* chip = NandChipTypeOf(kNandBoardChip);
  uint32_t first = NandUsableBlocks(chip);
  uint32_t half = first + NandReserveBlocks(chip->blocks) / 2;
  std::string failing = std::string(key) + "=" + std::to_string(block);
  std::string bad = "faults.nand_bad_blocks=";
  for (uint32_t b = first; b < half; b++) bad += std::to_string(b) + ",";
  for (uint32_t b = half; b < chip->blocks; b++) failing += "," + std::to_string(b);
  return {failing, bad};
}
