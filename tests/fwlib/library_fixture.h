// A fresh virtual module per test with the update library on it, and ways to
// change its flash contents for region discovery.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/regions.h"

// A ROM image of the module's OS format, as the factory builds them.
struct RomImageOptions {
  uint32_t bytes = 0x20000;
  // Each alone makes the image valid.
  bool headerAddressMatches = true;
  bool ramWordsIncreasing = true;
};

class LibraryTest : public ::testing::Test {
 public:
  // Attaches a fresh factory module with `settings` and resets the program's layers.
  void Attach(const std::vector<std::string>& settings = {});
  void TearDown() override;
  // Same module, new settings, as the next process on it would see them. The
  // program's own state is left alone.
  void Reconfigure(const std::vector<std::string>& settings);

  // Straight into flash.img, past the chips, so that the locked boot blocks
  // can be changed too.
  void PutBytes(uint32_t offset, const std::vector<uint8_t>& bytes);
  void PutWords(uint32_t offset, const std::vector<uint32_t>& words);
  void Erase(uint32_t offset, uint32_t length);
  void PutRomImage(uint32_t offset, const RomImageOptions& options);
  // A compressed-image record with `payloadBytes` of data.
  void PutCompImage(uint32_t offset, uint32_t payloadBytes);
  // A signature record carrying `signatureBytes`.
  void PutSscrRecord(uint32_t offset, uint32_t signatureBytes);

  // The table entry of a region (by identifier bit, flags ignored).
  FlashRegion Entry(uint32_t id);

  std::string dir_;
};

// Resets every layer of the program that keeps process-wide state.
void ResetProgramLayers();

// "{id 0x... base 0x... length 0x... used 0x...}" for readable comparisons.
std::string Describe(const FlashRegion& region);
