#include <gtest/gtest.h>

#include <vector>

#include "module/nand_ecc.h"

namespace {

constexpr uint32_t kStepBits = kNandEccStepBytes * 8;

struct Page {
  std::vector<uint8_t> data = std::vector<uint8_t>(kNandPageBytes);
  uint8_t codes[kNandEccPageCodeBytes] = {};
};

Page Written() {
  Page page;
  for (uint32_t i = 0; i < kNandPageBytes; i++) page.data[i] = static_cast<uint8_t>(i * 29 + (i >> 7));
  NandEccPage(page.data.data(), page.codes);
  return page;
}

void Flip(std::vector<uint8_t>* data, uint32_t bit) { (*data)[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8)); }

TEST(NandEcc, RepairsEveryBitOfAStepAndItsCode) {
  const Page clean = Written();
  const uint32_t step = 5 * kStepBits;
  for (uint32_t bit = 0; bit < kStepBits; bit++) {
    Page page = clean;
    Flip(&page.data, step + bit);
    ASSERT_EQ(NandEccCorrectPage(page.data.data(), page.codes), NandEccResult::Corrected) << bit;
    ASSERT_EQ(page.data, clean.data) << bit;
  }
  for (uint32_t bit = 0; bit < 22; bit++) {
    Page page = clean;
    page.codes[3 + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(NandEccCorrectPage(page.data.data(), page.codes), NandEccResult::Corrected) << bit;
    EXPECT_EQ(page.data, clean.data) << bit;
  }
}

TEST(NandEcc, TwoBitsInAStepAreUncorrectableAndLeaveThePageAsRead) {
  const Page clean = Written();
  for (uint32_t first = 0; first < kStepBits; first += 37) {
    for (uint32_t second = first + 1; second < kStepBits; second += 101) {
      Page page = clean;
      Flip(&page.data, first);
      Flip(&page.data, kStepBits + 3);  // a repairable error in another step stays too
      Flip(&page.data, second);
      std::vector<uint8_t> asRead = page.data;
      ASSERT_EQ(NandEccCorrectPage(page.data.data(), page.codes), NandEccResult::Uncorrectable)
          << first << " " << second;
      ASSERT_EQ(page.data, asRead);
    }
  }
}

TEST(NandEcc, ErasedPageHasTheErasedCode) {
  std::vector<uint8_t> erased(kNandPageBytes, 0xFF);
  uint8_t codes[kNandEccPageCodeBytes];
  NandEccPage(erased.data(), codes);
  EXPECT_EQ(std::vector<uint8_t>(codes, codes + kNandEccPageCodeBytes),
            std::vector<uint8_t>(kNandEccPageCodeBytes, 0xFF));
  Flip(&erased, 100);
  EXPECT_EQ(NandEccCorrectPage(erased.data(), codes), NandEccResult::Clean) << "a page without code is not checked";
}

}  // namespace
