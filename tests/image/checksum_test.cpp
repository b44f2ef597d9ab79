// The running checksum's two kinds against known vectors, fed whole and in
// pieces, and the image builder's own sums against them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fwlib/checksum.h"
#include "module/bin_image_builder.h"
#include "tests/image/image_fixture.h"

namespace {

class ChecksumTest : public ::testing::Test {
 protected:
  void SetUp() override { ChecksumResetForTests(); }
  void TearDown() override { ChecksumResetForTests(); }
};

uint32_t Fletcher(const std::string& text) {
  ChecksumSelect(ChecksumKind::Fletcher);
  EXPECT_TRUE(ChecksumFeed(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size())));
  return ChecksumResult();
}

TEST_F(ChecksumTest, FletcherVectors) {
  EXPECT_EQ(Fletcher("abcd"), 0x2926C6C4u);
  EXPECT_EQ(Fletcher("abcdefgh"), 0xEBE19591u);
  EXPECT_EQ(Fletcher(""), 0xFFFFFFFFu);
  for (size_t zeros : {4u, 8u, 356u, 360u, 364u, 720u, 4096u}) EXPECT_EQ(Fletcher(std::string(zeros, '\0')), 0xFFFFFFFFu);
}

TEST_F(ChecksumTest, FletcherPiecesOfAnyWholeWordSizeGiveTheSameSum) {
  std::vector<uint8_t> data = Pattern(5000, 3);  // many 360-byte blocks, the last one partly filled
  ChecksumSelect(ChecksumKind::Fletcher);
  ASSERT_TRUE(ChecksumFeed(data.data(), static_cast<uint32_t>(data.size())));
  uint32_t whole = ChecksumResult();
  EXPECT_EQ(ChecksumByteCount(), data.size());
  for (uint32_t piece : {4u, 12u, 356u, 360u, 364u, 1000u, 4096u}) {
    SCOPED_TRACE(piece);
    ChecksumSelect(ChecksumKind::Fletcher);
    for (uint32_t at = 0; at < data.size(); at += piece) {
      uint32_t n = std::min<uint32_t>(piece, static_cast<uint32_t>(data.size()) - at);
      ASSERT_TRUE(ChecksumFeed(data.data() + at, n));
    }
    EXPECT_EQ(ChecksumResult(), whole);
  }
  uint32_t fromBuilder = 0;
  ASSERT_TRUE(BinFletcherSum(data, &fromBuilder));
  EXPECT_EQ(fromBuilder, whole) << "the builder and the program must agree";
}

TEST_F(ChecksumTest, FletcherRefusesPiecesOutsideWholeWordsAndFinishesOnce) {
  ChecksumSelect(ChecksumKind::Fletcher);
  const uint8_t abcd[] = {'a', 'b', 'c', 'd', 'e', 'f'};
  EXPECT_FALSE(ChecksumFeed(abcd, 6));
  EXPECT_EQ(ChecksumByteCount(), 0u) << "a refused piece is not counted";
  EXPECT_TRUE(ChecksumFeed(abcd, 0));
  EXPECT_TRUE(ChecksumFeed(abcd, 4));
  EXPECT_EQ(ChecksumResult(), 0x2926C6C4u);
  EXPECT_EQ(ChecksumResult(), 0x2926C6C4u) << "asking again gives the same value";
  ChecksumReset();
  EXPECT_EQ(ChecksumResult(), 0xFFFFFFFFu);
  uint32_t sum = 0;
  EXPECT_FALSE(BinFletcherSum(std::vector<uint8_t>(6), &sum));
}

// The sums go a vector at a time where they can: data at any address, in
// pieces that end inside a vector, must still give the plain sums.
TEST_F(ChecksumTest, SumsDoNotDependOnWhereOrInWhatPiecesTheDataLies) {
  std::vector<uint8_t> data = Pattern(5000, 11);
  uint32_t plain = 0;
  for (uint8_t b : data) plain += b;
  uint32_t fletcher = 0;
  ASSERT_TRUE(BinFletcherSum(data, &fletcher));
  const uint32_t bytePieces[] = {1, 15, 16, 17, 63, 64, 65, 1000};
  const uint32_t wordPieces[] = {4, 12, 16, 20, 364, 1000};
  for (size_t shift : {0u, 1u, 3u}) {
    SCOPED_TRACE(shift);
    std::vector<uint8_t> moved(shift, 0);
    moved.insert(moved.end(), data.begin(), data.end());
    const uint8_t* at = moved.data() + shift;
    uint32_t size = static_cast<uint32_t>(data.size());
    ChecksumSelect(ChecksumKind::ByteSum);
    for (uint32_t done = 0, i = 0; done < size; i++) {
      uint32_t n = std::min(bytePieces[i % std::size(bytePieces)], size - done);
      ASSERT_TRUE(ChecksumFeed(at + done, n));
      done += n;
    }
    EXPECT_EQ(ChecksumResult(), plain);
    ChecksumSelect(ChecksumKind::Fletcher);
    for (uint32_t done = 0, i = 0; done < size; i++) {
      uint32_t n = std::min(wordPieces[i % std::size(wordPieces)], size - done);
      ASSERT_TRUE(ChecksumFeed(at + done, n));
      done += n;
    }
    EXPECT_EQ(ChecksumResult(), fletcher);
  }
}

TEST_F(ChecksumTest, ByteSumAndItsCount) {
  ChecksumSelect(ChecksumKind::ByteSum);
  const uint8_t abc[] = {'a', 'b', 'c'};
  ASSERT_TRUE(ChecksumFeed(abc, 1));
  ASSERT_TRUE(ChecksumFeed(abc + 1, 2));
  EXPECT_EQ(ChecksumResult(), 0x126u);
  EXPECT_EQ(ChecksumByteCount(), 3u);
  EXPECT_EQ(BinByteSum(abc), 0x126u);
  // Selecting a kind starts it afresh.
  ChecksumSelect(ChecksumKind::ByteSum);
  EXPECT_EQ(ChecksumResult(), 0u);
  std::vector<uint8_t> ones(0x1010102, 0xFF);  // enough 0xFF bytes for the sum to pass 2^32
  ASSERT_TRUE(ChecksumFeed(ones.data(), static_cast<uint32_t>(ones.size())));
  EXPECT_EQ(ChecksumResult(), static_cast<uint32_t>(uint64_t{0xFF} * ones.size()));
}

}  // namespace
