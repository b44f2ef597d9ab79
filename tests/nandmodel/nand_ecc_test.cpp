#include <gtest/gtest.h>

#include <vector>

#include "module/nand_ecc.h"

namespace {

constexpr uint32_t kStepBits = kNandEccStepBytes * 8;
constexpr uint32_t kHalfBits = kNandEccHalfBytes * 8;

struct Page {
  std::vector<uint8_t> data = std::vector<uint8_t>(kNandPageBytes);
  std::vector<uint8_t> codes = std::vector<uint8_t>(kNandEccPageCodeBytes);
};

Page Written() {
  Page page;
  for (uint32_t i = 0; i < kNandPageBytes; i++) page.data[i] = static_cast<uint8_t>(i * 29 + (i >> 7));
  NandEccPage(page.data.data(), page.codes.data());
  return page;
}

void Flip(std::vector<uint8_t>* bytes, uint32_t bit) { (*bytes)[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8)); }

TEST(NandEcc, RepairsEveryBitOfAStepAndItsCode) {
  const Page clean = Written();
  const uint32_t step = 2 * kStepBits;
  for (uint32_t bit = 0; bit < kStepBits; bit++) {
    Page page = clean;
    Flip(&page.data, step + bit);
    ASSERT_EQ(NandEccCorrectPage(page.data.data(), page.codes.data()), NandEccResult::Corrected) << bit;
    ASSERT_EQ(page.data, clean.data) << bit;
  }
  for (uint32_t bit = 0; bit < kNandEccStepCodeBytes * 8; bit++) {
    Page page = clean;
    Flip(&page.codes, 2 * kNandEccStepCodeBytes * 8 + bit);
    EXPECT_EQ(NandEccCorrectPage(page.data.data(), page.codes.data()), NandEccResult::Corrected) << bit;
    EXPECT_EQ(page.data, clean.data) << bit;
  }
}

// The controller repairs one bit in each 512-byte step; two in one step are
// uncorrectable wherever they sit, and such a page goes out as read.
struct FlipCase {
  const char* name;
  std::vector<uint32_t> dataBits;
  std::vector<uint32_t> codeBits;
  NandEccResult result;
};

class NandEccFlips : public ::testing::TestWithParam<FlipCase> {};

TEST_P(NandEccFlips, StepRepairsOneBit) {
  const Page clean = Written();
  Page page = clean;
  for (uint32_t bit : GetParam().dataBits) Flip(&page.data, bit);
  for (uint32_t bit : GetParam().codeBits) Flip(&page.codes, bit);
  const std::vector<uint8_t> asRead = page.data;
  EXPECT_EQ(NandEccCorrectPage(page.data.data(), page.codes.data()), GetParam().result);
  EXPECT_EQ(page.data, GetParam().result == NandEccResult::Uncorrectable ? asRead : clean.data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NandEccFlips,
    ::testing::Values(FlipCase{"TwoBitsInAHalf", {kStepBits + 5, kStepBits + 900}, {}, NandEccResult::Uncorrectable},
                      FlipCase{"OneBitInEachHalfOfAStep",
                               {kStepBits + 5, kStepBits + kHalfBits + 77},
                               {},
                               NandEccResult::Uncorrectable},
                      FlipCase{"DataAndCodeBitOfAStep", {kStepBits + 5}, {6 * 8 + 30}, NandEccResult::Uncorrectable},
                      FlipCase{"OneBitInEachOfTwoSteps", {5, 3 * kStepBits + 1000}, {}, NandEccResult::Corrected}),
    [](const auto& info) { return std::string(info.param.name); });

// Erased data and zeroed data share the code 0xFF 0xFF 0xFF; a page with no
// code byte programmed is one the controller's code never matches. A voided
// step never passes for a repairable one, whatever its data's parity.
TEST(NandEcc, PagesWithoutAWholeCodeAreUncorrectable) {
  for (uint8_t fill : {0xFF, 0x00}) {
    std::vector<uint8_t> data(kNandPageBytes, fill);
    std::vector<uint8_t> codes(kNandEccPageCodeBytes);
    NandEccPage(data.data(), codes.data());
    EXPECT_TRUE(NandEccCodesErased(codes.data())) << int{fill};
    EXPECT_EQ(NandEccCorrectPage(data.data(), codes.data()), NandEccResult::Uncorrectable) << int{fill};
  }
  for (uint32_t oddBit : {0u, 1u}) {
    Page page = Written();
    Flip(&page.data, oddBit);  // one of the two has odd parity in the half
    std::fill(page.codes.begin(), page.codes.begin() + kNandEccStepCodeBytes, kNandEccVoidByte);
    EXPECT_TRUE(NandEccStepVoided(page.codes.data()));
    std::vector<uint8_t> asRead = page.data;
    EXPECT_EQ(NandEccCorrectPage(page.data.data(), page.codes.data()), NandEccResult::Uncorrectable) << oddBit;
    EXPECT_EQ(page.data, asRead);
  }
}

}  // namespace
