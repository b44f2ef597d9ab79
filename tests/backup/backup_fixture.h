// Backups and erases on a fresh virtual NOR module: the flash read straight
// from flash.img, backup files parsed independently of the library, and the
// callbacks recorded.
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
  // Attaches a module with `settings` and runs FWLInit.
  void Attach(const std::vector<std::string>& settings = {});
  void TearDown() override;

  std::vector<uint8_t> Flash();
  // The module path of a backup file and its contents read from the host.
  static const char16_t* BackupPath();
  std::vector<uint8_t> BackupBytes();

  // Every record must hold exactly the flash bytes at its address, with
  // a correct byte sum.
  void ExpectRecordsMatchFlash(const ParsedBin& bin, const std::vector<uint8_t>& flash);

  std::string dir_;
};

void ResetBackupLayers();

// The present table entry of one region.
FlashRegion Entry(uint32_t id);
