#include <gtest/gtest.h>

#include <chrono>

#include "tests/normodel/nor_fixture.h"

namespace {

constexpr uint32_t kBlock = 0x100000;

std::vector<uint8_t> Bytes(size_t count, uint8_t seed) {
  std::vector<uint8_t> data(count);
  for (size_t i = 0; i < count; i++) data[i] = static_cast<uint8_t>(seed + i * 29);
  return data;
}

TEST_F(NorTest, ModuleFlashRoundTripThroughTheCommandSet) {
  config_.norDeviceCode = kParamChip;
  Open();
  ModuleFlash flash = NorModelModuleFlash(model_);
  EXPECT_EQ(flash.ops->size(flash.ctx), NorModelBusBytes(model_));
  EXPECT_EQ(flash.ops->blockSize(flash.ctx, 0x3FFFF), 0x10000u);
  EXPECT_EQ(flash.ops->blockSize(flash.ctx, 0x40000), 0x40000u);

  // The range lies in two power-up locked parameter blocks.
  std::vector<uint8_t> before = Snapshot();
  ASSERT_TRUE(ModuleFlashErase(flash, 0x8000, 0x10000));
  std::vector<uint8_t> erased = Snapshot();
  EXPECT_TRUE(SameOutside(before, erased, 0, 0x20000));
  for (uint32_t i = 0; i < 0x20000; i++) ASSERT_EQ(erased[i], 0xFF) << i;
  EXPECT_EQ(LockStatus(0x20000), kBoth) << "a block the erase did not touch was unlocked";

  // Unaligned, across several buffer regions and a block boundary.
  std::vector<uint8_t> data = Bytes(1001, 7);
  uint32_t at = 0xFC03;
  ASSERT_TRUE(ModuleFlashProgram(flash, at, data.data(), static_cast<uint32_t>(data.size())));
  std::vector<uint8_t> back(data.size() + 6);
  ASSERT_TRUE(ModuleFlashRead(flash, at - 3, back.data(), static_cast<uint32_t>(back.size())));
  EXPECT_EQ(back[0], 0xFF);
  EXPECT_EQ(back[2], 0xFF);
  EXPECT_EQ(std::vector<uint8_t>(back.begin() + 3, back.end() - 3), data);
  EXPECT_EQ(back.back(), 0xFF);
  EXPECT_TRUE(SameOutside(erased, Snapshot(), at, at + static_cast<uint32_t>(data.size())));
  EXPECT_EQ(Read(at - 7), 0xFFFFFFFFu) << "the chips were not left in read array";
  EXPECT_EQ(NorModelChipCounters(model_, 0).unknownCommands, 0u);

  // Programming only clears bits.
  uint8_t zero = 0;
  ASSERT_TRUE(ModuleFlashProgram(flash, at, &zero, 1));
  uint8_t second = 0xFF;
  ASSERT_TRUE(ModuleFlashProgram(flash, at, &second, 1));
  ASSERT_TRUE(ModuleFlashRead(flash, at, &second, 1));
  EXPECT_EQ(second, 0);
}

TEST_F(NorTest, ModuleFlashRefusesRangesPastTheEnd) {
  config_.norDeviceCode = kSmallChip;
  Open();
  ModuleFlash flash = NorModelModuleFlash(model_);
  uint32_t size = flash.ops->size(flash.ctx);
  uint8_t byte = 0;
  std::vector<uint8_t> before = Snapshot();
  EXPECT_FALSE(ModuleFlashRead(flash, size - 1, &byte, 2));
  EXPECT_FALSE(ModuleFlashProgram(flash, size, &byte, 1));
  EXPECT_FALSE(ModuleFlashErase(flash, size - 0x40000, 0x40001));
  EXPECT_FALSE(ModuleFlashErase(flash, 0xFFFFFFFF, 2));
  EXPECT_TRUE(ModuleFlashErase(flash, kBlock + 0x10, 0)) << "an empty range is done at once";
  EXPECT_TRUE(ModuleFlashRead(flash, size, &byte, 0));
  EXPECT_EQ(flash.ops->blockSize(flash.ctx, size), 0u);
  EXPECT_EQ(Snapshot(), before);
}

// The module's own writes go through the same chips, faults included; a
// failure leaves the chips in read array with a clean status.
TEST_F(NorTest, ModuleFlashMeetsTheChipsFaults) {
  config_.norDeviceCode = kSmallChip;
  config_.faultProgramErrorAt = kBlock + 0x20;
  config_.faultLockedBlock = kBlock + 0x40000;
  config_.faultEraseErrorBlock = kBlock + 0x80000;
  config_.faultWeakProgramAt = kBlock + 0x400;
  Open();
  ModuleFlash flash = NorModelModuleFlash(model_);
  std::vector<uint8_t> zeros(64, 0);

  EXPECT_FALSE(ModuleFlashProgram(flash, kBlock, zeros.data(), 64));
  EXPECT_EQ(Read(kBlock), 0u);
  Command(kBlock, 0x70);
  EXPECT_EQ(Read(kBlock), kReady) << "error bits left behind";
  Command(kBlock, 0xFF);

  EXPECT_FALSE(ModuleFlashErase(flash, kBlock + 0x40000, 4));
  EXPECT_FALSE(ModuleFlashErase(flash, kBlock + 0x80000, 4));
  EXPECT_TRUE(ModuleFlashErase(flash, kBlock + 0xC0000, 4));

  ASSERT_TRUE(ModuleFlashProgram(flash, kBlock + 0x400, zeros.data(), 4)) << "a weak cell reports success";
  uint32_t word = 0;
  ASSERT_TRUE(ModuleFlashRead(flash, kBlock + 0x400, &word, 4));
  EXPECT_NE(word, 0u);
}

TEST_F(NorTest, ModuleFlashGivesUpOnANeverReadyChip) {
  config_.norDeviceCode = kSmallChip;
  config_.faultNeverReady = true;
  Open();
  ModuleFlash flash = NorModelModuleFlash(model_);
  uint32_t word = 0;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ModuleFlashProgram(flash, kBlock, &word, 4));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(NorTest, ModuleFlashWaitsForARealisticChip) {
  config_.norDeviceCode = kSmallChip;
  config_.timing = ModuleTiming::Realistic;
  Open();
  ModuleFlash flash = NorModelModuleFlash(model_);
  std::vector<uint8_t> data = Bytes(300, 3);
  std::vector<uint8_t> back(data.size());
  ASSERT_TRUE(ModuleFlashErase(flash, kBlock, 1));
  ASSERT_TRUE(ModuleFlashProgram(flash, kBlock + 2, data.data(), static_cast<uint32_t>(data.size())));
  ASSERT_TRUE(ModuleFlashRead(flash, kBlock + 2, back.data(), static_cast<uint32_t>(back.size())));
  EXPECT_EQ(back, data);
}

}  // namespace
