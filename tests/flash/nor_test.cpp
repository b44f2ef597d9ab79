#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "flash/flash_layer.h"
#include "flash/nor.h"
#include "platform/clock.h"
#include "tests/flash/flash_fixture.h"

namespace {

constexpr uint32_t kWriteBuffer = 0x00E800E8;
constexpr uint32_t kEraseSetup = 0x00200020;
constexpr uint32_t kReadId = 0x00900090;
constexpr uint32_t kReadArray = 0x00FF00FF;

// Blocks the factory content leaves erased (between the OS image and the registry).
constexpr uint32_t kFree = 0x800000;
constexpr uint32_t kBlock = 0x40000;

using NorDriver = FlashTest;

bool AllErased(const std::vector<uint8_t>& image, uint32_t from, uint32_t to) {
  return std::all_of(image.begin() + from, image.begin() + to, [](uint8_t b) { return b == 0xFF; });
}

std::vector<uint32_t> Pattern(size_t words, uint32_t seed) {
  std::vector<uint32_t> v(words);
  for (size_t i = 0; i < words; i++) v[i] = seed * 0x9E3779B9u + static_cast<uint32_t>(i) * 0x01010101u;
  return v;
}

TEST_F(NorDriver, InitIdentifiesThePairAndFillsTheTable) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  EXPECT_EQ(FlashSize, 0x2000000u);
  EXPECT_EQ(NorChipClass(), 1u);
  EXPECT_EQ(FlashOps.PageSize, nullptr);
  EXPECT_EQ(FlashOps.SetEcc(1), 0);
  EXPECT_EQ(FlashInit(), FLASH_TYPE_NOR) << "a second init returns the stored type";
}

TEST_F(NorDriver, BlockLayoutOfEveryChipClass) {
  struct Case {
    const char* code;
    uint32_t chipClass;
    uint32_t flashSize;
    uint32_t lowBlock;
    uint32_t topBlock;
  };
  for (const Case& c :
       {Case{"0x0017", 1, 0x1000000, 0x40000, 0x40000}, Case{"0x8802", 2, 0x2000000, 0x40000, 0x40000},
        Case{"0x881A", 3, 0x1000000, 0x10000, 0x40000}, Case{"0x8919", 4, 0x4000000, 0x40000, 0x10000},
        Case{"0x8821", 5, 0x2000000, 0x10000, 0x40000}, Case{"0x881D", 6, 0x1000000, 0x40000, 0x10000}}) {
    SCOPED_TRACE(c.code);
    // A 16 MB pair keeps its registry and flash disk below its end.
    Attach({std::string("flash.nor_device_code=") + c.code, "bsp.registry_base=0x00C00000"});
    ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
    EXPECT_EQ(NorChipClass(), c.chipClass);
    EXPECT_EQ(FlashSize, c.flashSize);
    EXPECT_EQ(FlashOps.BlockSize(0x3FFFF), c.lowBlock);
    EXPECT_EQ(FlashOps.BlockSize(0x40000), 0x40000u);
    EXPECT_EQ(FlashOps.BlockSize(FlashSize - 0x40001), 0x40000u);
    EXPECT_EQ(FlashOps.BlockSize(FlashSize - 0x40000), c.topBlock);
    EXPECT_EQ(FlashOps.BlockSize(FlashSize - 1), c.topBlock);
    TearDown();
  }
}

TEST_F(NorDriver, EraseWidensToWholeBlocks) {
  // Parameter blocks: the block size at the end of the range decides the rounding.
  Attach({"flash.nor_device_code=0x8821"});
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  std::vector<uint32_t> words = Pattern(0xA0000 / 4, 1);
  // Fill 0x0 - 0xA0000 by erasing first (the boot blocks unlock only for an erase).
  ASSERT_EQ(FlashOps.Erase(0, 0xA0000), 1u);
  Program(0, words);
  ASSERT_EQ(FlashOps.Erase(0x30000, 0x20000), 1u);
  std::vector<uint8_t> image = Image();
  EXPECT_TRUE(AllErased(image, 0x30000, 0x80000));
  const auto* expected = reinterpret_cast<const uint8_t*>(words.data());
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x30000, expected));
  EXPECT_TRUE(std::equal(image.begin() + 0x80000, image.begin() + 0xA0000, expected + 0x80000));
}

TEST_F(NorDriver, EraseOfOneByteTakesItsWholeBlock) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  Program(kFree, Pattern(2 * kBlock / 4, 2));
  ASSERT_EQ(FlashOps.Erase(kFree + 0x1000, 1), 1u);
  std::vector<uint8_t> image = Image();
  EXPECT_TRUE(AllErased(image, kFree, kFree + kBlock));
  EXPECT_FALSE(AllErased(image, kFree + kBlock, kFree + kBlock + 4)) << "the next block stays";
}

TEST_F(NorDriver, BlankBlocksAreNotErasedAgain) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  StartTrace();
  ASSERT_EQ(FlashOps.Erase(kFree, 2 * kBlock), 1u);
  std::vector<BusTraceEntry> trace = Trace();
  EXPECT_EQ(CountWrites(trace, kEraseSetup), 0u);
  EXPECT_EQ(CountWrites(trace, kReadId), 2u);
  for (const BusTraceEntry& e : trace) {
    if (e.write) {
      EXPECT_TRUE(e.value == kReadId || e.value == kReadArray) << std::hex << e.value;
    }
  }
}

TEST_F(NorDriver, WriteRunsNeverCrossA64ByteBoundary) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  std::vector<uint32_t> words = Pattern(64, 3);
  StartTrace();
  ASSERT_EQ(FlashOps.Write(words.data(), kFree + 0x3C, 4 * 33), 1u);
  std::vector<BusTraceEntry> trace = Trace();
  // One word up to the boundary, then two full runs of 16 words.
  std::vector<uint32_t> counts;
  for (size_t i = 0; i + 1 < trace.size(); i++) {
    if (trace[i].write && trace[i].value == kWriteBuffer) {
      for (size_t j = i + 1; j < trace.size(); j++) {
        if (trace[j].write) {
          counts.push_back(trace[j].value);
          break;
        }
      }
    }
  }
  EXPECT_EQ(counts, (std::vector<uint32_t>{0x00000000, 0x000F000F, 0x000F000F}));
  uint32_t back[33];
  ASSERT_EQ(FlashOps.Read(back, kFree + 0x3C, sizeof back), 1u);
  EXPECT_TRUE(std::equal(back, back + 33, words.begin()));
}

TEST_F(NorDriver, OddLengthsWriteWholeWords) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  const uint32_t words[2] = {0x11223344, 0x55667788};
  ASSERT_EQ(FlashOps.Write(words, kFree, 6), 1u);
  std::vector<uint8_t> image = Image();
  EXPECT_EQ(image[kFree + 7], 0x55) << "the second word is written whole";
  EXPECT_EQ(image[kFree + 8], 0xFF);

  // Reads of any length and alignment return exactly the bytes asked for.
  uint8_t out[9];
  std::fill(std::begin(out), std::end(out), 0xAB);
  ASSERT_EQ(FlashOps.Read(reinterpret_cast<uint32_t*>(out), kFree + 1, 7), 1u);
  const uint8_t expected[] = {0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55, 0xAB, 0xAB};
  EXPECT_TRUE(std::equal(std::begin(out), std::end(out), expected));
  EXPECT_EQ(FlashOps.ReadWord(kFree + 4), 0x55667788u);
}

TEST_F(NorDriver, BootBlocksStayLockedUntilErased) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  const uint32_t word = 0;
  uint32_t before = FlashOps.ReadWord(0x100);
  ASSERT_NE(before, word) << "the factory bootloader has bits to clear there";
  EXPECT_EQ(FlashOps.WriteWord(0x100, word), 0u) << "the locked block reports the protection error";
  EXPECT_EQ(FlashOps.ReadWord(0x100), before);
  EXPECT_EQ(FlashOps.WriteWord(kFree + 0x100, word), 1u) << "the error bits of the last failure are not this one's";
  EXPECT_EQ(FlashOps.ReadWord(kFree + 0x100), 0u);

  ASSERT_EQ(FlashOps.Erase(0, 0x40000), 1u);
  EXPECT_EQ(FlashOps.WriteWord(0x100, word), 1u) << "erasing unlocked it";
}

// The start-up unlock begins exactly at 0x40000, whether the chips power up
// with every block locked or keep only the bootloader's locked.
TEST_F(NorDriver, StartUpUnlocksFromTheBlockAt0x40000) {
  for (const char* code : {"0x0018", "0x8802", "0x8821", "0x8818"}) {
    SCOPED_TRACE(code);
    Attach({std::string("flash.nor_device_code=") + code});
    ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
    EXPECT_EQ(FlashOps.WriteWord(0x3FFFC, 0), 0u) << "the block below stays locked";
    EXPECT_EQ(FlashOps.WriteWord(0x40000, 0), 1u);
    EXPECT_EQ(FlashOps.ReadWord(0x40000), 0u);
    EXPECT_EQ(FlashOps.WriteWord(FlashSize - 4, 0), 1u);
    TearDown();
  }
}

TEST_F(NorDriver, RangeErrorsTouchNoChip) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  uint32_t buffer[4] = {};
  StartTrace();
  EXPECT_EQ(FlashOps.Erase(0x1FC0000, 0x80000), 0u);
  EXPECT_EQ(FlashOps.Erase(0xFFFC0000, 0x80000), 0u) << "an end that wraps is past the flash too";
  EXPECT_EQ(FlashOps.Write(buffer, 0x1FFFFF8, 16), 0u);
  EXPECT_EQ(FlashOps.Write(buffer, 0xFFFFFFF0, 0x20), 0u);
  EXPECT_EQ(FlashOps.WriteWord(0x2000000, 0), 0u);
  EXPECT_EQ(FlashOps.Read(buffer, 0x1FFFFFC, 8), 0u);
  EXPECT_EQ(FlashOps.ReadWord(0x2000000), 0u);
  EXPECT_TRUE(Trace().empty());
}

TEST_F(NorDriver, SixtyFourMegabytesIsTheLimit) {
  Attach({"flash.nor_device_code=0x891C"});
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  EXPECT_EQ(FlashSize, 0x4000000u);
  EXPECT_EQ(FlashOps.ReadWord(0x3FFFFFC), 0xFFFFFFFFu);
}

TEST_F(NorDriver, ChipFaultsFailTheOperations) {
  Attach({"faults.erase_error_block=0x800000", "faults.locked_block=0x840000", "faults.program_error_at=0x8C0010"});
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  Program(kFree, Pattern(16, 4));
  Program(kFree + 2 * kBlock, Pattern(16, 5));
  EXPECT_EQ(FlashOps.Erase(kFree, 4), 0u) << "erase error bits";
  EXPECT_EQ(FlashOps.Erase(kFree + kBlock, 4), 0u) << "a block that will not unlock";
  EXPECT_EQ(FlashOps.Erase(kFree + 2 * kBlock, 4), 1u);
  EXPECT_EQ(FlashOps.WriteWord(kFree + 3 * kBlock + 0x10, 0), 0u) << "program error bits";
  EXPECT_EQ(FlashOps.WriteWord(kFree + 3 * kBlock + 0x14, 0), 1u) << "the error bits were left behind";
}

TEST_F(NorDriver, SilentlyWeakProgramShowsOnlyOnReadBack) {
  Attach({"faults.weak_program_at=0x800010"});
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  std::vector<uint32_t> zeros(16, 0);
  EXPECT_EQ(FlashOps.Write(zeros.data(), kFree, 64), 1u) << "the buffered program does not look at errors";
  EXPECT_NE(FlashOps.ReadWord(kFree + 0x10), 0u);
  EXPECT_EQ(FlashOps.ReadWord(kFree + 0xC), 0u);
}

TEST_F(NorDriver, AChipThatNeverBecomesReadyTimesOut) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  Program(kFree, Pattern(4, 6));
  Reattach({"faults.never_ready=true"});
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  ClockSkipSleepsForTests(true);
  uint32_t started = GetTickCount();
  EXPECT_EQ(FlashOps.Erase(kFree, 4), 0u);
  EXPECT_GE(GetTickCount() - started, 10000u);
  EXPECT_EQ(FlashOps.WriteWord(kFree + kBlock, 0), 0u);
}

}  // namespace
