// A new NAND module for every chip and processor: the chip maker's marks,
// the list page that moves the bad blocks into the reserve, the boot area,
// and the block map the first start builds from the list.
#include <gtest/gtest.h>

#include <string>

#include "module/module_dir.h"
#include "platform/platform.h"
#include "tests/nandos/nand_cells.h"
#include "tests/support/temp_module.h"

namespace {

constexpr uint32_t kListPage = 63;
constexpr uint32_t kPagesPerBlock = 64;
constexpr uint32_t kPageBytes = 2048;
constexpr uint32_t kLoaderMark = 0x54494D48;
constexpr uint32_t kRomSignature = 0x43454345;
constexpr uint32_t kRegistryMarker = 0x01234567;

struct NandBoard {
  const char* name;
  uint32_t chipId;
  uint32_t partCode;
  uint32_t blocks;
  std::vector<uint32_t> moved;  // the board's factory bad blocks this chip has
};

std::string MakeNandModule(uint32_t chipId, uint32_t partCode, const std::string& badBlocks = "") {
  std::string dir = MakeTempDir("fwnand");
  ModuleConfig config;
  std::string error;
  EXPECT_TRUE(ModuleConfigForBoard("nand", &config));
  std::vector<std::string> settings = {"flash.nand_chip_id=" + std::to_string(chipId),
                                       "board.cpu_part_code=" + std::to_string(partCode)};
  if (!badBlocks.empty()) settings.push_back("nand.factory_bad_blocks=" + badBlocks);
  for (const std::string& s : settings) EXPECT_TRUE(ModuleConfigAssign(&config, s, &error)) << error;
  EXPECT_TRUE(ModuleCreateFrom(dir, config, false, &error)) << error;
  return dir;
}

class NandFactory : public testing::TestWithParam<NandBoard> {
 protected:
  void TearDown() override { PlatformDetachModule(); }
};

TEST_P(NandFactory, BadBlocksAreMarkedAndMovedAndTheFirstStartMapsThem) {
  const NandBoard& b = GetParam();
  std::string dir = MakeNandModule(b.chipId, b.partCode);
  std::vector<uint8_t> listBefore;
  {
    NandCells cells(dir, b.chipId);
    ASSERT_TRUE(cells.ok());
    listBefore = cells.Data(kListPage);
    EXPECT_EQ(listBefore[0], 0x4E);
    EXPECT_EQ(listBefore[1], 0x52);
    for (size_t i = 0; i < b.moved.size(); i++) {
      uint32_t block = b.moved[i];
      EXPECT_EQ(cells.Word(kListPage, 4 + 4 * i), block | (b.blocks - 1 - i) << 16) << "entry " << i;
      EXPECT_EQ(cells.Spare(block * kPagesPerBlock, 0), 0x00) << block;
      EXPECT_EQ(cells.Spare(block * kPagesPerBlock + 1, 0), 0x00) << block;
    }
    EXPECT_EQ(cells.Word(kListPage, 4 + 4 * b.moved.size()) & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(cells.Spare(2 * kPagesPerBlock, 0), 0xFF);
    // The loader at 0 (marked on part code 9), the bootloader's image behind it.
    EXPECT_EQ(cells.Word(0, 4) == kLoaderMark, b.partCode == 9);
    EXPECT_EQ(cells.Word(0x8000 / kPageBytes, 0x40), kRomSignature);
    EXPECT_EQ(cells.Word(0x80000 / kPageBytes, 0x40), kRomSignature);
    EXPECT_EQ(cells.Word(0x1400000 / kPageBytes, 0), kRegistryMarker);
  }
  EXPECT_TRUE(SharedMapBytes(dir).empty()) << "the factory leaves the module switched off";

  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  std::vector<uint8_t> map = SharedMapBytes(dir);
  ASSERT_EQ(map.size(), 16388u);
  EXPECT_EQ(MapMagic(map), 0x544D4242u);
  for (size_t i = 0; i < b.moved.size(); i++) EXPECT_EQ(MapEntry(map, b.moved[i]), b.blocks - 1 - i);
  EXPECT_EQ(MapEntry(map, 2), 2u);
  EXPECT_EQ(MapEntry(map, b.blocks - 1), b.blocks - 1);
  NandCells cells(dir, b.chipId);
  EXPECT_EQ(cells.Data(kListPage), listBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Chips, NandFactory,
    testing::Values(NandBoard{"Chip0xD3EC_Part2", 0xD3EC, 2, 8192, {613, 1470}},
                    NandBoard{"Chip0xF1EC_Part8", 0xF1EC, 8, 1024, {613}},
                    NandBoard{"Chip0xDAEC_Part9", 0xDAEC, 9, 2048, {613, 1470}},
                    NandBoard{"Chip0xDCEC_Part9", 0xDCEC, 9, 4096, {613, 1470}},
                    NandBoard{"Chip0xDCAD_Part8", 0xDCAD, 8, 8192, {613, 1470}}),
    [](const testing::TestParamInfo<NandBoard>& info) { return std::string(info.param.name); });

TEST(NandFactoryBadBlocks, OneInTheReserveIsWithheldAndBootBlocksAreRefused) {
  std::string dir = MakeNandModule(0xDAEC, 9, "600, 2047");
  NandCells cells(dir, 0xDAEC);
  ASSERT_TRUE(cells.ok());
  EXPECT_EQ(cells.Word(kListPage, 4), 0u | 2047u << 16);
  EXPECT_EQ(cells.Word(kListPage, 8), 600u | 2046u << 16);
  EXPECT_EQ(cells.Spare(2047 * kPagesPerBlock, 0), 0x00);

  for (const char* refused : {"1", "0x800", "12x"}) {
    ModuleConfig config;
    std::string error;
    ASSERT_TRUE(ModuleConfigForBoard("nand", &config));
    config.nandFactoryBad = refused;
    EXPECT_FALSE(ModuleCreateFrom(MakeTempDir("fwnandbad"), config, false, &error)) << refused;
    EXPECT_NE(error.find("nand.factory_bad_blocks"), std::string::npos) << error;
  }
}

}  // namespace
