// A virtual NAND module made to measure: module.ini, an erased cell array
// and a bad-block list page, with the program's flash layer on top.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "flash/flash_layer.h"
#include "module/hardware.h"
#include "module/nand_array.h"

struct NandBoard {
  uint32_t chipId = 0xDAEC;
  uint32_t partCode = 9;
  bool listHeader = true;
  std::vector<std::pair<uint16_t, uint16_t>> list;  // {logical, replacement} entries
  bool listTerminated = true;
  std::vector<std::string> settings;  // further module.ini assignments (faults ...)
};

constexpr uint32_t kNandPage = 2048;
constexpr uint32_t kNandBlock = 64 * kNandPage;
constexpr uint32_t kNandControllerBase = 0x43100000;

class NandTest : public ::testing::Test {
 protected:
  void Attach(const NandBoard& board = {});
  // Attach, then FlashInit, which must pick the NAND driver and succeed.
  void AttachAndInit(const NandBoard& board = {});
  // The driver forgets everything it holds in the process; the module (and
  // its shared map) stays.
  void ForgetDriver();
  void TearDown() override;

  // The cells as flash.img holds them, bypassing the controller.
  std::vector<uint8_t> Cells(uint32_t page, uint32_t length = kNandPage);
  void PutCells(uint32_t page, const std::vector<uint8_t>& bytes);
  // The shared block map: the magic, then the entry of each logical block.
  uint32_t MapMagic();
  uint16_t MapEntry(uint32_t block);
  // Entries of the list page as it is in the cells, up to the terminator.
  std::vector<std::pair<uint16_t, uint16_t>> ListInCells();

  void StartTrace();
  std::vector<BusTraceEntry> Trace();

  std::string dir_;
  NandArray cells_;
};

// Bytes that differ from page to page and from erased.
std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed);
