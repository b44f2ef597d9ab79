// A NOR chip pair over a temporary flash.img, driven through its bus table.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module/module_config.h"
#include "module/nor_model.h"

constexpr uint32_t kBoth = 0x00010001;  // the same 16-bit value in each chip's half
constexpr uint32_t kReady = 0x80 * kBoth;
constexpr uint32_t kSmallChip = 0x0017;   // 8 MB chips, 16-word buffer
constexpr uint32_t kParamChip = 0x881A;   // 8 MB chips with parameter blocks, 32-word buffer
constexpr uint32_t kBigBufferChip = 0x8801;

// Content the tests can tell from erased flash and from each other.
uint8_t PatternByte(uint32_t offset);

enum class Fill { Pattern, Sparse };

// A flash.img of `bytes` in a fresh temporary folder.
std::string MakeFlashImage(uint32_t bytes, Fill fill);
std::vector<uint8_t> ReadFile(const std::string& path);
uint32_t WordAt(const std::vector<uint8_t>& image, uint32_t offset);

class NorTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // Opens the pair of config_.norDeviceCode over a new image.
  void Open(Fill fill = Fill::Pattern);
  void Reopen();

  uint32_t Read(uint32_t offset);
  void Write(uint32_t offset, uint32_t value);
  void Command(uint32_t offset, uint8_t command) { Write(offset, command * kBoth); }

  // Command sequences as a driver issues them; each returns the status word
  // and leaves the chips in read-array mode.
  uint32_t Unlock(uint32_t offset);
  uint32_t Erase(uint32_t offset);
  uint32_t ProgramWord(uint32_t offset, uint32_t value);
  uint32_t BufferProgram(uint32_t offset, const std::vector<uint32_t>& words);
  uint32_t LockStatus(uint32_t blockOffset);

  std::vector<uint8_t> Snapshot() { return ReadFile(path_); }

  ModuleConfig config_;
  std::string path_;
  NorModel* model_ = nullptr;
  const BusDeviceOps* bus_ = NorModelBusOps();
};

// Every byte outside [first, end) is the same in both images.
::testing::AssertionResult SameOutside(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                                       uint32_t first, uint32_t end);
