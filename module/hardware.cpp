#include "module/hardware.h"

#include "module/nand_model.h"
#include "module/nor_model.h"

namespace {

constexpr char kNorBoardName[] = "nor";
constexpr char kNandBoardName[] = "nand";

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

bool AttachNand(const Module& module, ModuleHardware* hw, std::string* error) {
  NandModel* nand = NandModelOpen(ModuleFlashPath(module.dir), ModuleShmPath(module.dir), module.config, error);
  if (nand == nullptr) return false;
  BusRange range{"nand", kNandControllerPhysBase, kNandControllerBusBytes, NandModelBusOps(), nand};
  if (!PhysBusAttach(&hw->bus, range, error)) {
    NandModelClose(nand);
    return false;
  }
  // The module's OS brings its NAND driver up before any program runs; after
  // that the controller keeps whatever configuration it was last given.
  if (module.config.nandOsDriver) NandModelOsDriverSetUp(nand);
  hw->nand = nand;
  return true;
}

}  // namespace

bool ModuleHardwareOpen(const Module& module, ModuleHardware* hw, std::string* error) {
  ModuleHardwareClose(hw);
  ProcessorInit(&hw->processor, module.config);
  // What is fitted follows the board, not the part code, so a NOR board set to
  // another part code still has its flash.
  if (module.config.board == kNorBoardName) return AttachNor(module, hw, error);
  if (module.config.board == kNandBoardName) return AttachNand(module, hw, error);
  return true;
}

void ModuleHardwareClose(ModuleHardware* hw) {
  if (hw->nor != nullptr) NorModelClose(hw->nor);
  if (hw->nand != nullptr) NandModelClose(hw->nand);
  *hw = ModuleHardware{};
}
