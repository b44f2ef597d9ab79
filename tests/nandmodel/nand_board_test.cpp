#include <gtest/gtest.h>
#include <sys/stat.h>

#include "module/hardware.h"
#include "module/nand_array.h"
#include "module/nand_controller.h"
#include "module/nand_model.h"
#include "tests/nandmodel/nand_fixture.h"
#include "tests/support/temp_module.h"

namespace {

// A NAND module as far as its hardware goes: flash.img and shm/.
Module NandModule(bool osDriver) {
  Module module;
  module.dir = MakeTempDir("nandboard");
  ModuleConfigForBoard("nand", &module.config);
  module.config.nandOsDriver = osDriver;
  std::string error;
  EXPECT_EQ(::mkdir(ModuleShmPath(module.dir).c_str(), 0755), 0);
  EXPECT_TRUE(NandArrayCreate(ModuleFlashPath(module.dir), NandChipTypeOf(module.config.nandChipId), &error))
      << error;
  return module;
}

TEST(NandBoard, ControllerAnswersOnTheBusSetUpByTheOsDriver) {
  for (bool osDriver : {true, false}) {
    Module module = NandModule(osDriver);
    ModuleHardware hw;
    std::string error;
    ASSERT_TRUE(ModuleHardwareOpen(module, &hw, &error)) << error;
    ASSERT_NE(hw.nand, nullptr);
    uint32_t control = PhysBusRead32(&hw.bus, kNandControllerPhysBase);
    EXPECT_EQ(control, osDriver ? NandModelChip(hw.nand)->controlBits | 0xFFF : 0u);

    PhysBusWrite32(&hw.bus, kNandControllerPhysBase + kNandRegStatus, 0xFFF);
    PhysBusWrite32(&hw.bus, kNandControllerPhysBase, control | kRun);
    EXPECT_EQ(PhysBusRead32(&hw.bus, kNandControllerPhysBase + kNandRegStatus) & kWanted, kWanted);
    for (uint32_t word : {kReadIdCommand, 0u, 0u}) PhysBusWrite32(&hw.bus, kNandControllerPhysBase + kNandRegCommand, word);
    EXPECT_EQ(PhysBusRead32(&hw.bus, kNandControllerPhysBase + kNandRegStatus) & kReadWaiting, kReadWaiting);
    EXPECT_EQ(PhysBusRead32(&hw.bus, kNandControllerPhysBase + kNandRegData) & 0xFFFF, module.config.nandChipId);
    ModuleHardwareClose(&hw);
    EXPECT_EQ(hw.nand, nullptr);
  }
}

}  // namespace
