// A virtual NOR module with the program's flash layer on it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash_layer.h"
#include "module/hardware.h"

class FlashTest : public ::testing::Test {
 protected:
  // Attaches a fresh module with `settings` and resets every layer the program
  // keeps process-wide state in.
  void Attach(const std::vector<std::string>& settings = {});
  // Same module, new settings: the hardware powers up again with them.
  void Reattach(const std::vector<std::string>& settings);
  void TearDown() override;

  // Bus accesses from now on are recorded; Trace() returns and clears them.
  void StartTrace();
  std::vector<BusTraceEntry> Trace();
  // Writes of the given command word in a trace.
  static size_t CountWrites(const std::vector<BusTraceEntry>& trace, uint32_t value);

  // Flash contents straight from flash.img, bypassing the chips.
  std::vector<uint8_t> Image();
  // Programs `bytes` at `offset` through the layer (unlocked area), checking success.
  void Program(uint32_t offset, const std::vector<uint32_t>& words);

  std::string dir_;
};
