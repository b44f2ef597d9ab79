#include "module/hardware.h"

#include "module/nor_model.h"

namespace {

constexpr char kNorBoardName[] = "nor";

bool AttachNor(const Module& module, ModuleHardware* hw, std::string* error) {
  NorModel* nor = NorModelOpen(ModuleFlashPath(module.dir), module.config, error);
  if (nor == nullptr) return false;
  BusRange range{"nor", kNorPhysBase, NorModelBusBytes(nor), NorModelBusOps(), nor};
  if (!PhysBusAttach(&hw->bus, range, error)) {
    NorModelClose(nor);
    return false;
  }
  hw->nor = nor;
  return true;
}

}  // namespace

bool ModuleHardwareOpen(const Module& module, ModuleHardware* hw, std::string* error) {
  ModuleHardwareClose(hw);
  ProcessorInit(&hw->processor, module.config);
  // What is fitted follows the board, not the part code, so a NOR board set to
  // another part code still has its flash. The NAND boards' devices are not
  // modelled yet: their bus answers nothing.
  if (module.config.board != kNorBoardName) return true;
  return AttachNor(module, hw, error);
}

void ModuleHardwareClose(ModuleHardware* hw) {
  if (hw->nor != nullptr) NorModelClose(hw->nor);
  *hw = ModuleHardware{};
}
