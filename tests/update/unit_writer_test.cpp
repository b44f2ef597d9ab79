// The NAND side of the update against a stand-in with 2048-byte pages: the
// unit writer programs every page once and whole, and the boot area goes
// through the shadow in one pass with a read-back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/bin_file.h"
#include "fwlib/results.h"
#include "fwlib/unit_writer.h"
#include "fwlib/update.h"
#include "fwlib/update_shadow.h"
#include "tests/update/nand_double.h"
#include "tests/update/update_fixture.h"

namespace {

constexpr uint32_t kPage = NandDouble::kPage;
constexpr uint32_t kBase = 0x100000;  // somewhere past the boot area
constexpr uint32_t kDoubleBytes = 0x400000;

class UnitWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UpdateResetForTests();
    nand_ = NandDoubleInstall(kDoubleBytes);
    expected_.assign(kDoubleBytes, 0xFF);
  }
  void TearDown() override {
    UpdateResetForTests();
    NandDoubleRemove();
  }
  // Hands `bytes` of a pattern to the writer at `offset`, from a source
  // `skew` bytes off word alignment, and notes what the flash must hold.
  uint32_t Put(uint32_t offset, uint32_t bytes, uint32_t seed, uint32_t skew = 0) {
    std::vector<uint8_t> data = Pattern(bytes + skew, seed);
    std::copy(data.begin() + skew, data.end(), expected_.begin() + offset);
    return UnitWrite(data.data() + skew, offset, bytes);
  }
  void ExpectFlashAsNoted() {
    EXPECT_TRUE(nand_->bytes == expected_) << Differences(nand_->bytes, expected_);
    EXPECT_EQ(nand_->doubleProgrammed, 0u) << "a page was programmed twice";
  }
  std::vector<std::pair<uint32_t, uint32_t>> Writes() { return nand_->writes; }

  NandDouble* nand_ = nullptr;
  std::vector<uint8_t> expected_;
};

using WriteList = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(UnitWriterTest, WritesInsideOnePageGatherUntilTheFlush) {
  ASSERT_EQ(Put(kBase + 16, 16, 1), FWL_OK);
  ASSERT_EQ(Put(kBase + 40, 100, 2), FWL_OK);
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(UnitPending(), kBase);
  ASSERT_EQ(UnitFlush(), FWL_OK);
  EXPECT_EQ(Writes(), (WriteList{{kBase, kPage}}));
  EXPECT_EQ(UnitPending(), UNIT_NONE);
  EXPECT_EQ(UnitNext(), UNIT_NONE);
  ExpectFlashAsNoted();
}

TEST_F(UnitWriterTest, PagesSkippedBetweenTwoWritesAreWrittenFullOf0xFF) {
  ASSERT_EQ(Put(kBase + 8, 8, 1), FWL_OK);
  ASSERT_EQ(Put(kBase + 3 * kPage + 4, 8, 2), FWL_OK);
  ASSERT_EQ(UnitFlush(), FWL_OK);
  EXPECT_EQ(Writes(),
            (WriteList{{kBase, kPage}, {kBase + kPage, kPage}, {kBase + 2 * kPage, kPage}, {kBase + 3 * kPage, kPage}}));
  ExpectFlashAsNoted();
}

TEST_F(UnitWriterTest, AWriteFromInsideAnEmptyPagePastItsEndProgramsEachPageOnceAndWhole) {
  ASSERT_EQ(Put(kBase + 100, 5000, 1), FWL_OK);
  // The first page waits for its neighbour, the middle one goes straight, the last one waits.
  EXPECT_EQ(Writes(), (WriteList{{kBase, kPage}, {kBase + kPage, kPage}}));
  EXPECT_EQ(UnitPending(), kBase + 2 * kPage);
  ASSERT_EQ(Put(kBase + 5100, 20, 2), FWL_OK) << "continues in the waiting page";
  ASSERT_EQ(Put(kBase + 2 * kPage + 1500, 3000, 3), FWL_OK) << "runs from the waiting page into the next";
  ASSERT_EQ(UnitFlush(), FWL_OK);
  ExpectFlashAsNoted();
}

TEST_F(UnitWriterTest, WholePagesGoStraightFromAnySource) {
  ASSERT_EQ(Put(kBase, 2 * kPage, 1), FWL_OK);
  EXPECT_EQ(Writes(), (WriteList{{kBase, 2 * kPage}}));
  ASSERT_EQ(Put(kBase + 4 * kPage, 3 * kPage + 10, 2, 1), FWL_OK);
  EXPECT_EQ(UnitPending(), kBase + 7 * kPage);
  ASSERT_EQ(UnitFlush(), FWL_OK);
  ExpectFlashAsNoted();
  EXPECT_GT(nand_->reads, 0u) << "every write is read back";
}

TEST_F(UnitWriterTest, AFailedWriteIsReportedAndTheRestStillWritten) {
  nand_->failWriteAt = kBase + kPage + 7;
  EXPECT_EQ(Put(kBase + 10, 3 * kPage, 1), FWL_ERR_FLASH_WRITE);
  EXPECT_EQ(UnitFlush(), FWL_OK);
  EXPECT_TRUE(std::equal(expected_.begin() + kBase + 2 * kPage, expected_.begin() + kBase + 4 * kPage,
                         nand_->bytes.begin() + kBase + 2 * kPage))
      << "the pages after the failed one";
}

TEST_F(UnitWriterTest, AReadBackThatDiffersIsReported) {
  nand_->flipReadAt = kBase + 3;
  ASSERT_EQ(Put(kBase, 20, 1), FWL_OK);
  EXPECT_EQ(UnitFlush(), FWL_ERR_VERIFY);
  nand_->flipReadAt = kBase + kPage + 5;
  EXPECT_EQ(Put(kBase + kPage, kPage, 2), FWL_ERR_VERIFY);
}

// ---- The whole update on NAND: shadow and unit writer together ----

class NandUpdateTest : public UpdateTest {
 protected:
  void TearDown() override {
    NandDoubleRemove();
    UpdateTest::TearDown();
  }
};

// An erased flash with the records of `spec`, an OS image, at the OS base.
std::vector<uint8_t> OsImageOnErasedFlash(const BinImageSpec& spec) {
  std::vector<uint8_t> flash(kDoubleBytes, 0xFF);
  for (const BinRecord& r : spec.bin.records) {
    std::copy(r.data.begin(), r.data.end(), flash.begin() + (r.address - spec.bin.imageStart + kOsBase));
  }
  return flash;
}

TEST_F(NandUpdateTest, ABootloaderImageGoesThroughTheShadowInOnePass) {
  Attach();
  BinImageSpec spec;
  spec.bin.imageStart = 0xBCA00000;
  spec.bin.records = {{0xBCA00000, Pattern(0x1003, 1)}, {0xBCA20000, Pattern(0x1F800, 2)}};
  std::u16string path = Place(spec);
  NandDouble* nand = NandDoubleInstall(kDoubleBytes);
  ASSERT_EQ(Update(path), FWL_OK);
  EXPECT_EQ(nand->writes, (WriteList{{0, 0x20000}, {0x20000, 0x1F800}})) << "in pieces of a block, never the last page";
  std::vector<uint8_t> expected(kDoubleBytes, 0xFF);
  std::copy(spec.bin.records[0].data.begin(), spec.bin.records[0].data.end(), expected.begin());
  std::copy(spec.bin.records[1].data.begin(), spec.bin.records[1].data.end(), expected.begin() + 0x20000);
  EXPECT_TRUE(nand->bytes == expected) << Differences(nand->bytes, expected);
  const uint8_t* shadow = ShadowBytes();
  EXPECT_TRUE(std::all_of(shadow, shadow + BOOT_SHADOW_BYTES, [](uint8_t b) { return b == 0xFF; }))
      << "left empty after the update";

  nand->flipReadAt = 0x3F7FF;
  EXPECT_EQ(Update(path), FWL_ERR_VERIFY);
}

TEST_F(NandUpdateTest, AnImageWithGapsProgramsEveryPageOfItsRangeOnce) {
  Attach();
  BinImageSpec spec;
  spec.bin.imageStart = 0x80200000;  // lands at the OS base, 0x80000
  spec.bin.records = {{0x80200000, Pattern(100, 1)}, {0x80200000 + 3 * kPage + 50, Pattern(kPage, 2)},
                      {0x80200000 + 6 * kPage, Pattern(4, 3)}};
  std::u16string path = Place(spec);
  NandDouble* nand = NandDoubleInstall(kDoubleBytes);
  ASSERT_EQ(Update(path), FWL_OK);
  for (uint32_t page = 0; page <= 6; page++) EXPECT_EQ(nand->programs[kOsBase / kPage + page], 1u) << page;
  EXPECT_EQ(nand->programs[kOsBase / kPage + 7], 0u);
  EXPECT_EQ(nand->doubleProgrammed, 0u);
  std::vector<uint8_t> expected = OsImageOnErasedFlash(spec);
  EXPECT_TRUE(nand->bytes == expected) << Differences(nand->bytes, expected);
}

TEST_F(NandUpdateTest, RecordsMayStepBackOnlyInsideThePageStillOpen) {
  Attach();
  constexpr uint32_t kLinked = 0x80200000;  // lands at the OS base, 0x80000
  BinImageSpec spec;
  spec.bin.imageStart = kLinked;
  spec.bin.records = {{kLinked + 100, Pattern(50, 1)}, {kLinked, Pattern(50, 2)}, {kLinked + 2 * kPage, Pattern(8, 3)}};
  std::u16string path = Place(spec);
  NandDouble* nand = NandDoubleInstall(kDoubleBytes);
  ASSERT_EQ(Update(path), FWL_OK);
  EXPECT_EQ(nand->doubleProgrammed, 0u);
  std::vector<uint8_t> expected = OsImageOnErasedFlash(spec);
  EXPECT_TRUE(nand->bytes == expected) << Differences(nand->bytes, expected);

  // Back to a page written already: it could not be programmed again.
  spec.bin.records.push_back({kLinked + kPage, Pattern(8, 4)});
  EXPECT_EQ(FWLSetBinFile(Place(spec).c_str(), nullptr, nullptr, 1), FWL_ERR_FILE_FORMAT);
}

TEST_F(NandUpdateTest, DataForTheBootAreasLastPageIsRefused) {
  Attach();
  BinImageSpec spec;
  spec.bin.imageStart = 0xBCA00000;
  spec.bin.records = {{0xBCA00000 + 0x3F000, Pattern(0x1000, 1)}};
  std::u16string path = Place(spec);
  NandDoubleInstall(kDoubleBytes);
  EXPECT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_ERR_FILE_FORMAT)
      << "the shadow never writes it: the data would be lost";
  spec.bin.records = {{0xBCA00000 + 0x3E800, Pattern(0x1000, 1)}};
  EXPECT_EQ(FWLSetBinFile(Place(spec).c_str(), nullptr, nullptr, 1), FWL_OK);
}

}  // namespace
