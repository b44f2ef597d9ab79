// A fresh factory module per test with the update library started on it, and
// image files built with the image builder and placed in the module's
// "\USB HD\IMAGES" folder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/regions.h"
#include "module/bin_image_builder.h"

class ImageTest : public ::testing::Test {
 protected:
  // Attaches a module with `settings` and runs FWLInit on it.
  void Attach(const std::vector<std::string>& settings = {});
  void TearDown() override;

  // Builds `spec` (which must build) into a file of the module; returns the
  // path the program opens it by.
  std::u16string Place(const BinImageSpec& spec, const char* name = "test.bin");
  std::u16string PlaceBytes(const std::vector<uint8_t>& bytes, const char* name = "test.bin");

  // FWLSetBinFile on a placed file.
  uint32_t Validate(const std::u16string& path, RegionSummary* summary = nullptr, int verify = 1);

  std::string dir_;
};

// Every layer of the program that keeps process-wide state, back to start.
void ResetImageLayers();

inline std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) { return BinFillerBytes(bytes, seed); }

// The program's path to a file in the module's images folder.
std::u16string ImagePath(const char* name);

// A stream of one sector run, optionally with its extent in the header.
std::vector<uint8_t> SectorStream(uint32_t sectors, uint32_t memBase = kFsStreamUnknown,
                                  uint32_t memLen = kFsStreamUnknown);

// A one-record image linked at `start` of `bytes` bytes.
inline BinImageSpec OneRecordImage(uint32_t start, size_t bytes, uint32_t seed = 1) {
  return BinSingleRecordImage(start, Pattern(bytes, seed));
}
