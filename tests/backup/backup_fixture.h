// Backups and erases on a fresh virtual module of either board: the flash as
// the module's OS sees it, read past the program, backup files parsed
// independently of the library, and the callbacks recorded.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/regions.h"

struct ParsedRecord {
  uint32_t address;
  uint32_t length;
  uint32_t checksum;
  std::vector<uint8_t> data;
};

struct ParsedBin {
  uint32_t start = 0;
  uint32_t length = 0;
  std::vector<ParsedRecord> records;
  uint32_t endEntry = 0;
  size_t end = 0;  // file offset after the end record
};

// Reads a BIN part from the start of `bytes`; failures are test failures.
bool ParseBin(const std::vector<uint8_t>& bytes, ParsedBin* bin);

struct BackupLog {
  std::vector<RegionSummary> summaries;
  std::vector<std::vector<uint32_t>> sections;  // address, length, checksum
  std::vector<std::pair<uint32_t, uint32_t>> bytes;
  std::vector<std::pair<uint32_t, uint32_t>> erase;
  int stopBytes = 0;  // that call (from 1) answers 0
  int stopErase = 0;
};
extern BackupLog g_log;
int LogSummary(RegionSummary* summary);
int LogSection(uint32_t address, uint32_t length, uint32_t checksum);
int LogBytes(uint32_t section, uint32_t total);
int LogErase(uint32_t done, uint32_t total);

class BackupTest : public ::testing::Test {
 protected:
  // Attaches a module of board_ with `settings` and runs FWLInit.
  void Attach(const std::vector<std::string>& settings = {});
  void TearDown() override;

  // The whole flash as the module's OS sees it, or a part of it.
  std::vector<uint8_t> Flash();
  std::vector<uint8_t> FlashRange(uint32_t offset, uint32_t length);
  // flash.img as stored (ModuleFlashCells).
  std::vector<uint8_t> FlashCells();
  // The module path of a backup file and its contents read from the host.
  static const char16_t* BackupPath();
  std::vector<uint8_t> BackupBytes();

  // Every record must hold exactly the flash bytes at its address, with
  // a correct byte sum: in `flash`, or in the module's flash.
  void ExpectRecordsMatchFlash(const ParsedBin& bin, const std::vector<uint8_t>& flash);
  void ExpectRecordsMatchModule(const ParsedBin& bin);

  bool Nand() const { return std::string(board_) == "nand"; }

  std::string dir_;
  const char* board_ = "nor";
  uint32_t eraseBlock_ = 0;
};

// BackupTest on the board the test's parameter names.
class BoardBackupTest : public BackupTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { board_ = GetParam(); }
};

void ResetBackupLayers();

// The present table entry of one region.
FlashRegion Entry(uint32_t id);
