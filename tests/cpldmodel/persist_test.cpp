// cpld.img: what a new module's CPLD holds, when changes reach the file,
// and files that are not an array.
#include <gtest/gtest.h>

#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "tests/cpldmodel/cpld_fixture.h"
#include "tests/support/temp_module.h"

namespace {

TEST_F(CpldTest, WithoutAFileTheCpldHoldsTheFactoryFirmware) {
  config_.cpldUsercode = 0x00030001;
  Open();
  const CpldArray& a = CpldModelArray(model_);
  EXPECT_FALSE(CpldArrayBlank(a));
  EXPECT_TRUE(CpldArrayDone(a));
  EXPECT_EQ(ScanInstruction(Driver(), kTapInstrUsercode, 32).dr, 0x00030001u);
  EXPECT_EQ(ScanInstruction(Driver(), kTapInstrIdcode, 32).dr, config_.cpldIdcode);
}

TEST_F(CpldTest, LeavingIscModeWritesTheArray) {
  Open();
  ASSERT_TRUE(Play("xc2c64a-erase.xsvf").ok);
  CpldArray saved;
  bool found = false;
  std::string error;
  ASSERT_TRUE(CpldArrayLoad(path_, &saved, &found, &error)) << error;
  ASSERT_TRUE(found) << "written before the model closes";
  EXPECT_TRUE(CpldArrayBlank(saved));
  Close();
  Open();
  EXPECT_TRUE(CpldArrayBlank(CpldModelArray(model_)));
  EXPECT_EQ(ScanInstruction(Driver(), kTapInstrUsercode, 32).dr, 0xFFFFFFFFu) << "erase takes the user code along";
}

// A row is in the cells once its program pulse ends, so in cpld.img too,
// before the run leaves ISC mode and whatever the process does then: here
// the design's stream stops half-way and the model stays open.
TEST_F(CpldTest, EachProgrammedRowReachesTheFileAtOnce) {
  Open();
  std::vector<uint8_t> design = XsvfFile("xc2c64a-light-led.xsvf");
  ASSERT_FALSE(design.empty());
  std::vector<XsvfCommand> commands = XsvfSplit(design);
  const XsvfCommand& middle = commands[commands.size() / 4];
  XsvfPlay(std::vector<uint8_t>(design.begin(), design.begin() + static_cast<long>(middle.offset)), Driver());
  ASSERT_TRUE(CpldModelInIscMode(model_));
  ASSERT_GT(CpldModelCounters(model_).rowsProgrammed, 0u);
  CpldArray saved;
  bool found = false;
  std::string error;
  ASSERT_TRUE(CpldArrayLoad(path_, &saved, &found, &error)) << error;
  ASSERT_TRUE(found);
  EXPECT_EQ(CpldArrayDigest(saved), CpldArrayDigest(CpldModelArray(model_)));
  EXPECT_FALSE(CpldArrayBlank(saved));
  EXPECT_FALSE(CpldArrayDone(saved));
}

// How a file can be damaged: cut short, another format or size, a changed bit.
enum class Damage { Truncated, Magic, Rows, RowBit };

struct DamageCase {
  Damage damage;
  const char* reason;  // what the message says is wrong
};

class DamagedImage : public CpldTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedImage, IsRefusedWithTheWayBack) {
  std::string error;
  CpldArray array;
  CpldArrayFactory(&array, config_.cpldUsercode);
  ASSERT_TRUE(CpldArraySave(path_, array, &error)) << error;
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(path_, &bytes, &error)) << error;
  switch (GetParam().damage) {
    case Damage::Truncated: bytes.resize(bytes.size() - 1); break;
    case Damage::Magic: bytes[0] = 'X'; break;
    case Damage::Rows: bytes[8] = 99; break;
    case Damage::RowBit: bytes[100] ^= 0x10; break;
  }
  ASSERT_TRUE(AtomicWriteFile(path_, bytes, &error)) << error;
  EXPECT_EQ(CpldModelOpen(path_, config_, &error), nullptr);
  for (std::string said : {path_ + " is damaged (", std::string(GetParam().reason), std::string("delete it")}) {
    EXPECT_NE(error.find(said), std::string::npos) << error;
  }
}

INSTANTIATE_TEST_SUITE_P(Ways, DamagedImage,
                         ::testing::Values(DamageCase{Damage::Truncated, "3453 bytes where the array takes 3454"},
                                           DamageCase{Damage::Magic, "does not begin as a CPLD array file"},
                                           DamageCase{Damage::Rows, "99 rows of 274 bits"},
                                           DamageCase{Damage::RowBit, "no longer match their check sum"}));

TEST(CpldFactory, NewNandModulesGetTheirFirmwareWithTheConfiguredUserCode) {
  std::string digests[2];
  for (std::string& digest : digests) {
    std::string dir = MakeTempDir("cpldfactory");
    ModuleConfig config;
    ModuleConfigForBoard("nand", &config);
    config.cpldUsercode = 0x00020005;
    std::string error;
    ASSERT_TRUE(ModuleCreateFrom(dir, config, false, &error)) << error;
    CpldArray array;
    bool found = false;
    ASSERT_TRUE(CpldArrayLoad(ModuleCpldPath(dir), &array, &found, &error)) << error;
    ASSERT_TRUE(found);
    EXPECT_EQ(CpldArrayUsercode(array), 0x00020005u);
    digest = CpldArrayDigest(array);
  }
  EXPECT_EQ(digests[0], digests[1]) << "the factory firmware is the same on every module";
}

}  // namespace
