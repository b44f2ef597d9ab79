// The program on every NOR chip a module can carry, and on one whose power
// goes in the middle of an erase.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "module/bin_image_builder.h"
#include "module/flash_image.h"
#include "module/module_dir.h"
#include "module/nor_model.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/temp_module.h"

namespace {

constexpr uint32_t kAreaBytes = 0x40000;  // the boot area, and as much at the top of the flash
constexpr uint32_t kOsBlock = 0x80000;  // the first block of the factory OS image
constexpr uint32_t kMainBlock = 0x40000;
const char kNkBin[] = "\\USB HD\\IMAGES\\nk.bin";

// Straight into flash.img, past the chips.
void PutFlash(const std::string& dir, uint32_t offset, const std::vector<uint8_t>& bytes) {
  FlashImage image;
  std::string error;
  ASSERT_TRUE(FlashImageOpen(ModuleFlashPath(dir), kMainBlock, &image, &error)) << error;
  std::copy(bytes.begin(), bytes.end(), image.raw.bytes + offset);
  FlashImageClose(&image);
}

class EveryNorChip : public ::testing::TestWithParam<uint32_t> {};

// The bootloader's 256 KB and the last 256 KB of the flash, both full of old
// data, take an image each and pass its verify; on boot-block chips one of
// them is four small blocks that must all be erased.
TEST_P(EveryNorChip, UpdatesTheBootAreaAndTheTopOfTheFlash) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%04X", GetParam());
  // The registry fits a 16 MB pair there; without a flash disk the top is free.
  std::string dir = MakeModule(
      {std::string("flash.nor_device_code=") + code, "bsp.registry_base=0xC00000", "factory.flash_disk_key=none"});
  uint32_t size = static_cast<uint32_t>(ReadFile(ModuleFlashPath(dir)).size());
  for (uint32_t at : {0u, size - kAreaBytes}) {
    SCOPED_TRACE(at);
    PutFlash(dir, at, BinFillerBytes(kAreaBytes, 1));
    std::vector<uint8_t> data = BinFillerBytes(kAreaBytes, 2);
    ProgramResult r = UpdateWith(dir, at, data);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(ModuleFlashPath(dir)).compare(at, kAreaBytes, std::string(data.begin(), data.end())), 0);
  }
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Codes, EveryNorChip,
                         ::testing::Values(0x0017, 0x0018, 0x0019, 0x8801, 0x8802, 0x8803, 0x881A, 0x881B, 0x891C,
                                           0x8817, 0x8818, 0x8919, 0x8820, 0x8821, 0x8922, 0x881D, 0x881E, 0x891F),
                         [](const auto& info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Code%04X", info.param);
                           return std::string(name);
                         });

// The power goes half-way through the erase of the OS image's first block:
// the next run finds that block half erased, and the update run again
// writes the image as if nothing had happened.
TEST(NorPowerCut, AHalfErasedBlockIsWhatTheNextUpdateFindsAndRepairs) {
  std::string dir = MakeModule({"faults.power_cut_busy_us=500000"});  // half a main block's erase
  std::string before = ReadFile(ModuleFlashPath(dir));
  ProgramResult r = Flashwright(dir, {"/u", kNkBin});
  ASSERT_EQ(r.exitCode, kNorPowerCutExitCode) << r.err;

  std::string cut = ReadFile(ModuleFlashPath(dir));
  std::string oldBlock = before.substr(kOsBlock, kMainBlock), block = cut.substr(kOsBlock, kMainBlock);
  EXPECT_NE(block, oldBlock) << "nothing was erased";
  EXPECT_NE(block, std::string(kMainBlock, '\xFF')) << "the erase ran to its end";
  for (uint32_t i = 0; i < kMainBlock; i++) {
    ASSERT_TRUE(block[i] == '\xFF' || block[i] == oldBlock[i]) << "at 0x" << std::hex << kOsBlock + i;
  }
  EXPECT_EQ(cut.compare(0, kOsBlock, before, 0, kOsBlock), 0);
  EXPECT_EQ(cut.compare(kOsBlock + kMainBlock, std::string::npos, before, kOsBlock + kMainBlock), 0);

  SetFault(dir, "faults.power_cut_busy_us=0");
  r = Flashwright(dir, {"/u", kNkBin});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  std::string reference = MakeModule();
  ASSERT_EQ(Flashwright(reference, {"/u", kNkBin}).exitCode, 1);
  EXPECT_TRUE(ReadFile(ModuleFlashPath(dir)) == ReadFile(ModuleFlashPath(reference)));
}

}  // namespace
