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

// How a file can be damaged: cut short, another format, a changed bit.
enum class Damage { Truncated, Magic, RowBit };

class DamagedImage : public CpldTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedImage, IsRefused) {
  std::string error;
  CpldArray array;
  CpldArrayFactory(&array, config_.cpldUsercode);
  ASSERT_TRUE(CpldArraySave(path_, array, &error)) << error;
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(path_, &bytes, &error)) << error;
  switch (GetParam()) {
    case Damage::Truncated: bytes.resize(bytes.size() - 1); break;
    case Damage::Magic: bytes[0] = 'X'; break;
    case Damage::RowBit: bytes[100] ^= 0x10; break;
  }
  ASSERT_TRUE(AtomicWriteFile(path_, bytes, &error)) << error;
  EXPECT_EQ(CpldModelOpen(path_, config_, &error), nullptr);
  EXPECT_NE(error.find("cpld.img"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Ways, DamagedImage, ::testing::Values(Damage::Truncated, Damage::Magic, Damage::RowBit));

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
