#include "module/hardware.h"

#include <new>

#include "module/cpld_model.h"
#include "module/gpio_model.h"
#include "module/jtag_wires.h"
#include "module/mfp_model.h"
#include "module/nand_model.h"
#include "module/nor_model.h"
#include "module/os_timer.h"

namespace {

constexpr char kNorBoardName[] = "nor";
constexpr char kNandBoardName[] = "nand";

bool AttachNor(const Module& module, ModuleHardware* hw, std::string* error) {
  NorModel* nor = NorModelOpen(ModuleFlashPath(module.dir), ModuleShmPath(module.dir), module.config, error);
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

template <typename Device>
bool Attach(ModuleHardware* hw, const char* name, uint32_t base, uint32_t bytes, const BusDeviceOps* ops,
            Device* device, std::string* error) {
  return PhysBusAttach(&hw->bus, BusRange{name, base, bytes, ops, device}, error);
}

// The processor's pins and OS timer, on every board.
bool AttachProcessorDevices(const Module& module, ModuleHardware* hw, std::string* error) {
  GpioLayout layout = GpioLayoutFor(module.config.cpuPartCode);
  hw->gpio = new (std::nothrow) GpioBlock;
  hw->timer = new (std::nothrow) OsTimer;
  if (layout == GpioLayout::Pxa3xx) hw->mfp = new (std::nothrow) MfpBlock;
  if (hw->gpio == nullptr || hw->timer == nullptr || (layout == GpioLayout::Pxa3xx && hw->mfp == nullptr)) {
    *error = "out of memory for the processor's pins";
    return false;
  }
  GpioPowerUp(hw->gpio, layout);
  OsTimerPowerUp(hw->timer);
  if (hw->mfp != nullptr) MfpPowerUp(hw->mfp);
  return Attach(hw, "gpio", kGpioPhysBase, kGpioBusBytes, GpioBusOps(), hw->gpio, error) &&
         Attach(hw, "ostimer", kOsTimerPhysBase, kOsTimerBusBytes, OsTimerBusOps(), hw->timer, error) &&
         (hw->mfp == nullptr || Attach(hw, "mfp", kMfpPhysBase, kMfpBusBytes, MfpBusOps(), hw->mfp, error));
}

// The JTAG wires and, when the board has one, the CPLD at their end. A CPLD
// that cannot be opened leaves the wires open: TDO floats high.
bool AttachCpld(const Module& module, ModuleHardware* hw, std::string* error) {
  const ModuleConfig& c = module.config;
  JtagPins pins;
  if (hw->gpio == nullptr || hw->mfp == nullptr || !JtagPinsFor(c.cpuPartCode, &pins)) return true;
  TdoStuck stuck = TdoStuck::None;
  if (!CpldCheckConfig(c, error)) return false;
  TdoStuckParse(c.faultTdoStuck, &stuck);
  hw->jtag = new (std::nothrow) JtagWires;
  if (hw->jtag == nullptr) {
    *error = "out of memory for the JTAG wires";
    return false;
  }
  bool ok = true;
  if (c.cpldIdcode != 0) {
    hw->cpld = CpldModelOpen(ModuleCpldPath(module.dir), c, error);
    ok = hw->cpld != nullptr;
  }
  JtagWiresConnect(hw->jtag, hw->gpio, hw->mfp, c.cpuPartCode, hw->cpld != nullptr ? CpldModelTap(hw->cpld) : nullptr,
                   stuck);
  return ok;
}

}  // namespace

bool ModuleHardwareOpen(const Module& module, ModuleHardware* hw, std::string* error) {
  ModuleHardwareClose(hw);
  ProcessorInit(&hw->processor, module.config);
  // What is fitted follows the board, not the part code, so a NOR board set to
  // another part code still has its flash.
  // Each part comes up on its own; the first failure is the one reported.
  std::string errors[3];
  bool ok = AttachProcessorDevices(module, hw, &errors[0]);
  if (module.config.board == kNorBoardName) ok = AttachNor(module, hw, &errors[1]) && ok;
  if (module.config.board == kNandBoardName) {
    ok = AttachNand(module, hw, &errors[1]) && ok;
    ok = AttachCpld(module, hw, &errors[2]) && ok;
  }
  for (const std::string& e : errors) {
    if (!e.empty()) {
      *error = e;
      break;
    }
  }
  return ok;
}

void ModuleHardwareClose(ModuleHardware* hw) {
  if (hw->nor != nullptr) NorModelClose(hw->nor);
  if (hw->nand != nullptr) NandModelClose(hw->nand);
  if (hw->jtag != nullptr) JtagWiresDisconnect(hw->jtag);
  delete hw->jtag;
  CpldModelClose(hw->cpld);
  delete hw->mfp;
  delete hw->timer;
  delete hw->gpio;
  *hw = ModuleHardware{};
}
