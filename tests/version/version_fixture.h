// A fresh factory module per test with the update library started on it, and
// ways to change what the version look-ups find.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "flash/bsp.h"
#include "fwlib/version.h"
#include "module/module_config.h"

class VersionTest : public ::testing::Test {
 public:
  void Attach(const std::vector<std::string>& settings = {});
  void TearDown() override;

  // Erases the blocks under [offset, offset + bytes) and programs `bytes`
  // there through the flash driver, as the module's own software would.
  void Place(uint32_t offset, const std::vector<uint8_t>& bytes);

  // A file in the module's \windows folder, created or replaced, written at `when`.
  void PutWindowsFile(const char* name, const ModuleDateTime& when);
  void RemoveWindowsFile(const char* name);

  // The look-ups, into version_ and date_ (as UTF-8).
  uint32_t Bootloader(uint32_t base, uint32_t length);
  void Image();

  std::string dir_;
  ImageVersion version_{};
  std::string date_;
};

// The 12 bytes as they sit in a version record.
ImageVersion Version(uint32_t family, uint32_t major, uint32_t minor, uint32_t build = 0);
bool operator==(const ImageVersion& a, const ImageVersion& b);
