#include <gtest/gtest.h>

#include "module/nor_chips.h"
#include "tests/normodel/nor_fixture.h"

namespace {

constexpr uint32_t kUnlocked = 0x80000;  // a main block the small chips power up with unlocked
constexpr uint32_t kSequenceError = 0x30 * kBoth;

uint32_t Both(uint32_t half) { return half * kBoth; }

// ---- Identification ----

struct ChipCase {
  uint32_t deviceCode;
  uint32_t sizeLog2;
  uint32_t bufferLog2;
  NorBoot boot;
};

class NorIdentify : public NorTest, public ::testing::WithParamInterface<ChipCase> {};

// What a CFI reader learns must agree with the chip's real layout.
TEST_P(NorIdentify, IdentifierAndQueryDescribeTheChip) {
  const ChipCase& c = GetParam();
  config_.norDeviceCode = c.deviceCode;
  Open(Fill::Sparse);
  Command(0, 0x90);
  EXPECT_EQ(Read(0), 0x00890089u);
  EXPECT_EQ(Read(4), Both(c.deviceCode));

  Command(0, 0x98);
  EXPECT_EQ(Read(0x10 * 4), Both('Q'));
  EXPECT_EQ(Read(0x11 * 4), Both('R'));
  EXPECT_EQ(Read(0x12 * 4), Both('Y'));
  EXPECT_EQ(Read(0x13 * 4), Both(1));  // Intel extended command set
  EXPECT_EQ(Read(0x27 * 4), Both(c.sizeLog2));
  EXPECT_EQ(Read(0x2A * 4), Both(c.bufferLog2));

  // The erase block regions, walked as a CFI reader does, cover the chip
  // with the blocks the driver's BlockSize expects (both chips: twice the
  // bytes): 64 KB ones in the lowest or the highest 256 KB of a boot-block part.
  uint32_t pairBytes = NorPairBytes(c.deviceCode);
  uint32_t regions = Read(0x2C * 4) & 0xFFFF;
  uint32_t busOffset = 0;
  for (uint32_t r = 0; r < regions; r++) {
    uint32_t at = (0x2D + 4 * r) * 4;
    uint32_t blocks = (Read(at) & 0xFF) + ((Read(at + 4) & 0xFF) << 8) + 1;
    uint32_t chipBlockBytes = ((Read(at + 8) & 0xFF) + ((Read(at + 12) & 0xFF) << 8)) * 256;
    for (uint32_t b = 0; b < blocks; b++) {
      bool small = (c.boot == NorBoot::Bottom && busOffset < 0x40000) ||
                   (c.boot == NorBoot::Top && busOffset >= pairBytes - 0x40000);
      uint32_t expected = small ? 0x10000 : 0x40000;
      ASSERT_EQ(2 * chipBlockBytes, expected) << "block at bus offset 0x" << std::hex << busOffset;
      ASSERT_EQ(NorBusBlockBytes(*NorModelGeometry(model_), busOffset), expected);
      busOffset += 2 * chipBlockBytes;
    }
  }
  EXPECT_EQ(busOffset, pairBytes);
  uint32_t pri = (Read(0x15 * 4) & 0xFF) * 4;
  EXPECT_EQ(Read(pri), Both('P'));
  EXPECT_EQ(Read(pri + 8), Both('I'));

  Command(0, 0xFF);
  EXPECT_EQ(Read(0), 0u);  // the sparse image's data
}

constexpr NorBoot kUniform = NorBoot::Uniform, kBottom = NorBoot::Bottom, kTop = NorBoot::Top;

// Every family; the boot-block families' codes interleave, so each of those is here.
INSTANTIATE_TEST_SUITE_P(Families, NorIdentify,
                         ::testing::Values(ChipCase{0x0017, 23, 5, kUniform}, ChipCase{0x0018, 24, 5, kUniform},
                                           ChipCase{0x8803, 25, 6, kUniform}, ChipCase{0x881A, 23, 6, kBottom},
                                           ChipCase{0x891C, 25, 6, kBottom}, ChipCase{0x8922, 25, 6, kBottom},
                                           ChipCase{0x8817, 23, 6, kTop}, ChipCase{0x8919, 25, 6, kTop},
                                           ChipCase{0x881D, 23, 6, kTop}, ChipCase{0x881E, 24, 6, kTop},
                                           ChipCase{0x891F, 25, 6, kTop}),
                         [](const auto& info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Code%04X", info.param.deviceCode);
                           return std::string(name);
                         });

TEST_F(NorTest, RefusesAnUnknownChipAWrongImageAndAFaultPastTheEnd) {
  std::string error;
  config_.norDeviceCode = 0x1234;
  EXPECT_EQ(NorModelOpen(MakeFlashImage(0x100000, Fill::Sparse), "", config_, &error), nullptr);
  EXPECT_NE(error.find("0x1234"), std::string::npos) << error;

  config_.norDeviceCode = kSmallChip;
  error.clear();
  EXPECT_EQ(NorModelOpen(MakeFlashImage(0x100000, Fill::Sparse), "", config_, &error), nullptr);
  EXPECT_NE(error.find("bytes"), std::string::npos) << error;

  std::string image = MakeFlashImage(NorPairBytes(kSmallChip), Fill::Sparse);
  config_.faultWeakProgramAt = NorPairBytes(kSmallChip);
  error.clear();
  EXPECT_EQ(NorModelOpen(image, "", config_, &error), nullptr);
  EXPECT_NE(error.find("weak_program_at"), std::string::npos) << error;

  error.clear();
  EXPECT_EQ(NorModelOpen(image + ".missing", "", ModuleConfig{}, &error), nullptr);
  EXPECT_FALSE(error.empty());
}

TEST_F(NorTest, AccessesPastTheEndAreAnOpenBus) {
  config_.norDeviceCode = kSmallChip;
  Open();
  uint32_t end = NorModelBusBytes(model_);
  EXPECT_EQ(Read(end), 0xFFFFFFFFu);
  Write(end, 0x00900090);
  EXPECT_EQ(Read(0), WordAt(Snapshot(), 0)) << "a write past the end reached the chips";
  uint32_t words[3];
  bus_->readWords(model_, end - 4, words, 3);
  EXPECT_EQ(words[0], WordAt(Snapshot(), end - 4));
  EXPECT_EQ(words[1], 0xFFFFFFFFu);
  EXPECT_EQ(words[2], 0xFFFFFFFFu);
}

// ---- Locks ----

TEST_F(NorTest, PowerUpLocksEveryBlockAndUnlockFreesOneBlockOnly) {
  config_.norDeviceCode = kParamChip;
  Open();
  uint32_t top = NorModelBusBytes(model_) - 0x40000;
  for (uint32_t block : {0x0u, 0x30000u, 0x40000u, top}) EXPECT_EQ(LockStatus(block), Both(1)) << block;

  std::vector<uint8_t> before = Snapshot();
  EXPECT_EQ(ProgramWord(0x10000, 0), Both(0x92));  // ready | program error | locked
  Command(0, 0x50);
  EXPECT_EQ(Erase(0x10000), Both(0xA2));
  Command(0, 0x50);
  EXPECT_TRUE(SameOutside(before, Snapshot(), 0, 0));

  EXPECT_EQ(Unlock(0x10000), kReady);
  EXPECT_EQ(LockStatus(0x10000), 0u);
  EXPECT_EQ(LockStatus(0x00000), Both(1));
  EXPECT_EQ(LockStatus(0x20000), Both(1));
  EXPECT_EQ(Erase(0x10000), kReady);

  // Lock and lock-down both lock again.
  Unlock(0x40000);
  Unlock(0x80000);
  Command(0x40000, 0x60);
  Command(0x40000, 0x01);
  EXPECT_EQ(LockStatus(0x40000), Both(1));
  Command(0x80000, 0x60);
  Command(0x80000, 0x2F);
  EXPECT_EQ(LockStatus(0x80000), Both(1));
  EXPECT_EQ(Erase(0x80000), Both(0xA2));

  Reopen();
  EXPECT_EQ(LockStatus(0x10000), Both(1)) << "volatile lock bits set again at power-up";
}

// The oldest family keeps its lock bits across power cycles, and one clear
// frees every block of the chip but a stuck one.
TEST_F(NorTest, NonVolatileLockBitsOutliveThePowerAndClearTogether) {
  config_.norDeviceCode = kSmallChip;
  config_.faultLockedBlock = 0x100002;  // high chip
  Open();
  EXPECT_EQ(LockStatus(0), Both(1)) << "the module leaves the factory with its bootloader locked";
  EXPECT_EQ(LockStatus(0x40000), 0u);
  Command(0x80000, 0x60);
  Command(0x80000, 0x01);
  Reopen();
  EXPECT_EQ(LockStatus(0), Both(1));
  EXPECT_EQ(LockStatus(0x80000), Both(1));

  // The module's own writes unlock what they touch and leave the rest locked.
  ModuleFlash flash = NorModelModuleFlash(model_);
  uint32_t zero = 0;
  ASSERT_TRUE(ModuleFlashProgram(flash, 0x80000, &zero, 4));
  EXPECT_EQ(LockStatus(0x80000), 0u);
  EXPECT_EQ(LockStatus(0), Both(1));

  EXPECT_EQ(Unlock(0x40000), kReady);
  Reopen();
  EXPECT_EQ(LockStatus(0), 0u) << "one clear freed the bootloader too, for good";
  EXPECT_EQ(LockStatus(0x100000), 1u << 16);
}

// ---- Erase and program ----

TEST_F(NorTest, EraseSetsExactlyItsBlock) {
  config_.norDeviceCode = kParamChip;
  Open();
  Unlock(0x30000);
  std::vector<uint8_t> before = Snapshot();
  EXPECT_EQ(Erase(0x3A000), kReady);  // any address inside the block
  std::vector<uint8_t> after = Snapshot();
  EXPECT_TRUE(SameOutside(before, after, 0x30000, 0x40000));
  for (uint32_t i = 0x30000; i < 0x40000; i++) ASSERT_EQ(after[i], 0xFF) << i;

  Unlock(kUnlocked);
  EXPECT_EQ(Erase(kUnlocked + 0x12344), kReady);
  std::vector<uint8_t> main = Snapshot();
  EXPECT_TRUE(SameOutside(after, main, kUnlocked, kUnlocked + 0x40000));
  for (uint32_t i = kUnlocked; i < kUnlocked + 0x40000; i++) ASSERT_EQ(main[i], 0xFF) << i;
}

TEST_F(NorTest, ProgramOnlyClearsBitsWordByWordOrBuffered) {
  config_.norDeviceCode = kSmallChip;
  Open();
  uint32_t at = kUnlocked + 0x100;
  std::vector<uint8_t> before = Snapshot();
  Command(at, 0x40);
  Write(at, 0x0F0FF0F0);
  EXPECT_EQ(Read(kUnlocked + 0x20000), kReady) << "status mode answers at any address";
  Command(at, 0x10);  // the alternative setup code
  Write(at + 4, 0);

  uint32_t region = kUnlocked + 0x40;  // 16 words of each chip = 64 bus bytes
  Command(region, 0xE8);
  EXPECT_EQ(Read(region), kReady) << "buffer available";
  Write(region, 15 * kBoth);
  for (uint32_t i = 0; i < 16; i++) Write(region + 4 * i, 0x11111111 * (i % 8));
  EXPECT_EQ(WordAt(Snapshot(), region), WordAt(before, region)) << "programmed before the confirm";
  Command(region, 0xD0);
  EXPECT_EQ(Read(region), kReady);
  Command(region, 0xFF);

  std::vector<uint8_t> after = Snapshot();
  EXPECT_EQ(WordAt(after, at), WordAt(before, at) & 0x0F0FF0F0);
  EXPECT_EQ(WordAt(after, at + 4), 0u);
  for (uint32_t i = 0; i < 16; i++) {
    EXPECT_EQ(WordAt(after, region + 4 * i), WordAt(before, region + 4 * i) & (0x11111111 * (i % 8))) << i;
  }
  EXPECT_TRUE(SameOutside(before, after, region, at + 8));
}

TEST_F(NorTest, BufferedProgramRefusesTooManyWordsOrLeavingTheRegion) {
  config_.norDeviceCode = kSmallChip;
  Open();
  std::vector<uint8_t> before = Snapshot();

  // 17 words: one more than the small family's buffer.
  Command(kUnlocked, 0xE8);
  Write(kUnlocked, 16 * kBoth);
  EXPECT_EQ(Read(kUnlocked), kReady | kSequenceError);
  Command(kUnlocked, 0x50);
  Command(kUnlocked, 0xFF);

  // Starting at the last word of a region, the second word lies outside it.
  uint32_t last = kUnlocked + 0x3C;
  EXPECT_EQ(BufferProgram(last, {0, 0}), kReady | kSequenceError);
  Command(kUnlocked, 0x50);
  EXPECT_EQ(NorModelChipCounters(model_, 0).unknownCommands, 0u) << "a stray data word was read as a command";

  // A wrong confirm programs nothing either.
  Command(kUnlocked, 0xE8);
  Write(kUnlocked, 0);
  Write(kUnlocked, 0);
  Command(kUnlocked, 0xFF);
  EXPECT_EQ(Read(kUnlocked), kReady | kSequenceError);
  Command(kUnlocked, 0x50);
  Command(kUnlocked, 0xFF);
  EXPECT_EQ(Snapshot(), before);

  // The large-buffer families take 32 words per chip, but not 33.
  config_.norDeviceCode = kBigBufferChip;
  NorModelClose(model_);
  model_ = nullptr;
  Open();
  Unlock(kUnlocked);
  before = Snapshot();
  std::vector<uint32_t> words(32, 0);
  EXPECT_EQ(BufferProgram(kUnlocked + 0x80, words), kReady);
  for (uint32_t i = 0; i < 32; i++) ASSERT_EQ(Read(kUnlocked + 0x80 + 4 * i), 0u) << i;
  Command(kUnlocked + 0x100, 0xE8);
  Write(kUnlocked + 0x100, 32 * kBoth);
  EXPECT_EQ(Read(kUnlocked + 0x100), kReady | kSequenceError);
  Command(0, 0x50);
  Command(0, 0xFF);
  EXPECT_TRUE(SameOutside(before, Snapshot(), kUnlocked + 0x80, kUnlocked + 0x100));
}

// ---- Command sequence errors and stray commands ----

TEST_F(NorTest, SequenceErrorsStickAndUnknownCommandsReturnToReadArray) {
  config_.norDeviceCode = kSmallChip;
  Open();
  std::vector<uint8_t> before = Snapshot();
  uint32_t data = WordAt(before, kUnlocked);
  Command(kUnlocked, 0x20);
  Command(kUnlocked, 0x33);  // not the erase confirm
  EXPECT_EQ(Read(kUnlocked), kReady | kSequenceError);
  Command(kUnlocked, 0x60);
  Command(kUnlocked, 0x77);  // neither lock nor unlock
  Command(kUnlocked, 0xFF);
  EXPECT_EQ(Read(kUnlocked), data) << "read array returns despite the error";
  Command(kUnlocked, 0x70);
  EXPECT_EQ(Read(kUnlocked), kReady | kSequenceError);
  Command(kUnlocked, 0x50);
  EXPECT_EQ(Read(kUnlocked), kReady);

  Write(kUnlocked, 0x00D00033);  // chip 0 gets 0x33, chip 1 a lone confirm
  EXPECT_EQ(Read(kUnlocked), data);
  EXPECT_EQ(NorModelChipCounters(model_, 0).unknownCommands, 1u);
  EXPECT_EQ(NorModelChipCounters(model_, 1).unknownCommands, 1u);
  // Only the low byte is the command; each chip keeps its own mode.
  Write(kUnlocked, 0x12FF1290);
  EXPECT_EQ(Read(kUnlocked), (data & 0xFFFF0000) | 0x89);
  EXPECT_EQ(NorModelChipCounters(model_, 1).unknownCommands, 1u);
  EXPECT_EQ(Snapshot(), before);
}

// A whole 32 MB pair erased, written and read the way the program's driver
// does it, fast enough for tests that rewrite the flash.
TEST_F(NorTest, WholeFlashRoundTripThroughTheBus) {
  config_.norDeviceCode = 0x0018;
  Open();
  uint32_t size = NorModelBusBytes(model_);
  for (uint32_t at = 0; at < size; at += 0x40000) {
    EXPECT_EQ(Unlock(at), kReady);
    ASSERT_EQ(Erase(at), kReady) << at;
  }
  for (uint32_t at = 0; at < size; at += 64) {
    Command(at, 0xE8);
    Read(at);
    Write(at, 15 * kBoth);
    for (uint32_t i = 0; i < 64; i += 4) Write(at + i, (at + i) ^ 0xA5A5A5A5);
    Command(at + 60, 0xD0);
    ASSERT_EQ(Read(at + 60), kReady) << at;
  }
  Command(0, 0xFF);
  std::vector<uint32_t> back(size / 4);
  bus_->readWords(model_, 0, back.data(), back.size());
  for (uint32_t i = 0; i < back.size(); i++) ASSERT_EQ(back[i], (i * 4) ^ 0xA5A5A5A5) << i;
}

}  // namespace
