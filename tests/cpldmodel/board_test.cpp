// The processor's pins, OS timer and CPLD on a module's bus: what each board
// carries, and the CPLD reached through the JTAG pins of its part code.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "module/gpio_model.h"
#include "module/mfp_model.h"
#include "module/nand_array.h"
#include "module/os_timer.h"
#include "tests/cpldmodel/cpld_fixture.h"
#include "tests/support/temp_module.h"

namespace {


// A NAND module's hardware with `settings` applied to the board's defaults.
Module NandModule(uint32_t partCode, const std::vector<std::string>& settings = {}) {
  Module module;
  module.dir = MakeTempDir("cpldboard");
  ModuleConfigForBoard("nand", &module.config);
  module.config.cpuPartCode = partCode;
  std::string error;
  for (const std::string& s : settings) EXPECT_TRUE(ModuleConfigAssign(&module.config, s, &error)) << error;
  EXPECT_EQ(::mkdir(ModuleShmPath(module.dir).c_str(), 0755), 0);
  EXPECT_TRUE(NandArrayCreate(ModuleFlashPath(module.dir), NandChipTypeOf(module.config.nandChipId), &error))
      << error;
  return module;
}

class CpldOnPins : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CpldOnPins, IdcodeAndUsercodeReadThroughTheGpioRegisters) {
  Module module = NandModule(GetParam());
  ModuleHardware hw;
  std::string error;
  ASSERT_TRUE(ModuleHardwareOpen(module, &hw, &error)) << error;
  ASSERT_NE(hw.cpld, nullptr);
  PinWires wires;
  OpenPins(&wires, &hw.bus, GetParam());
  JtagDriver d = PinDriver(&wires);
  EXPECT_EQ(ScanInstruction(d, kTapInstrIdcode, 32).dr, module.config.cpldIdcode);
  EXPECT_EQ(ScanInstruction(d, kTapInstrUsercode, 32).dr, module.config.cpldUsercode);
  ModuleHardwareClose(&hw);
}

INSTANTIATE_TEST_SUITE_P(PartCodes, CpldOnPins, ::testing::Values(2u, 8u, 9u));

// A pin left on another function, or an input, does not reach the CPLD.
TEST(CpldWires, OnlyGpioOutputsDriveTheCpld) {
  Module module = NandModule(9);
  ModuleHardware hw;
  std::string error;
  ASSERT_TRUE(ModuleHardwareOpen(module, &hw, &error)) << error;
  PinWires wires;
  OpenPins(&wires, &hw.bus, 9);
  uint32_t tckMfp = 0;
  ASSERT_TRUE(MfpRegisterOffset(9, wires.pins.tck, &tckMfp));
  PhysBusWrite32(&hw.bus, kMfpPhysBase + tckMfp, 1);
  uint64_t edges = CpldModelTap(hw.cpld)->risingEdges;
  EXPECT_EQ(ScanInstruction(PinDriver(&wires), kTapInstrIdcode, 32).dr, 0xFFFFFFFFu) << "TCK never toggles";
  EXPECT_EQ(CpldModelTap(hw.cpld)->risingEdges, edges);

  OpenPins(&wires, &hw.bus, 9);
  PhysBusWrite32(&hw.bus, kGpioPhysBase + kGpioClearDirection + 4 * GpioBank(wires.pins.tms), GpioBit(wires.pins.tms));
  ScanInstruction(PinDriver(&wires), kTapInstrBypass, 8);
  EXPECT_EQ(CpldModelTap(hw.cpld)->state, TapState::TestLogicReset) << "TMS floats high";
  ModuleHardwareClose(&hw);
}

struct TdoCase {
  const char* setting;
  uint32_t idcode;  // what a read of the IDCODE gives
};

class TdoLine : public ::testing::TestWithParam<TdoCase> {};

TEST_P(TdoLine, NoCpldOrADrivenTdoReadsWhatTheLineCarries) {
  Module module = NandModule(8, {GetParam().setting});
  ModuleHardware hw;
  std::string error;
  ASSERT_TRUE(ModuleHardwareOpen(module, &hw, &error)) << error;
  PinWires wires;
  OpenPins(&wires, &hw.bus, 8);
  EXPECT_EQ(ScanInstruction(PinDriver(&wires), kTapInstrIdcode, 32).dr, GetParam().idcode);
  ModuleHardwareClose(&hw);
}

INSTANTIATE_TEST_SUITE_P(Faults, TdoLine,
                         ::testing::Values(TdoCase{"cpld.idcode=0", 0xFFFFFFFF},
                                           TdoCase{"faults.tdo_stuck=low", 0x00000000},
                                           TdoCase{"faults.tdo_stuck=high", 0xFFFFFFFF},
                                           TdoCase{"cpld.idcode=0x26E5D094", 0x26E5D094}));

TEST(Boards, NorBoardHasPinsAndTimerButNoCpld) {
  Module module;
  module.dir = MakeTempDir("cpldnor");
  std::string error;
  ASSERT_TRUE(ModuleCreate(module.dir, "nor", false, &error)) << error;
  ASSERT_TRUE(ModuleOpen(module.dir, &module, &error)) << error;
  ModuleHardware hw;
  ASSERT_TRUE(ModuleHardwareOpen(module, &hw, &error)) << error;
  EXPECT_NE(hw.gpio, nullptr);
  EXPECT_EQ(hw.gpio->layout, GpioLayout::Pxa27x);
  EXPECT_EQ(hw.mfp, nullptr);
  EXPECT_EQ(hw.cpld, nullptr);
  EXPECT_EQ(PhysBusFind(&hw.bus, kMfpPhysBase), nullptr);
  uint32_t c0 = PhysBusRead32(&hw.bus, kOsTimerPhysBase + kOsTimerCounter);
  uint32_t c1 = c0;
  for (int i = 0; i < 1000000 && c1 == c0; i++) c1 = PhysBusRead32(&hw.bus, kOsTimerPhysBase + kOsTimerCounter);
  EXPECT_NE(c1, c0) << "the counter runs";
  EXPECT_FALSE(::access(ModuleCpldPath(module.dir).c_str(), F_OK) == 0) << "no cpld.img on the NOR board";
  ModuleHardwareClose(&hw);
}

}  // namespace
