// The hardware of one virtual module as a program on it sees it: the
// processor and the physical bus with the device models behind it.
#pragma once

#include <string>

#include "module/module_dir.h"
#include "module/phys_bus.h"
#include "module/processor.h"

struct CpldModel;
struct GpioBlock;
struct JtagWires;
struct MfpBlock;
struct NandModel;
struct NorModel;
struct OsTimer;

// Physical address of the NOR pair on the NOR board.
constexpr uint32_t kNorPhysBase = 0x00000000;

struct ModuleHardware {
  Processor processor;
  PhysBus bus;
  NorModel* nor = nullptr;    // on the NOR board
  NandModel* nand = nullptr;  // on the NAND board: the controller and its chip
  // Every board: the processor's pins and OS timer.
  GpioBlock* gpio = nullptr;
  OsTimer* timer = nullptr;
  // The NAND board: multi-function pin registers, and the JTAG wires from
  // the pins to the CPLD (the CPLD only when cpld.idcode is not 0).
  MfpBlock* mfp = nullptr;
  JtagWires* jtag = nullptr;
  CpldModel* cpld = nullptr;
};

// Brings the module's hardware up. The processor always comes up; a device
// that cannot be opened is left off the bus (its addresses read as open bus)
// and reported through `error` with a false result, so callers can still run
// what does not need it.
bool ModuleHardwareOpen(const Module& module, ModuleHardware* hw, std::string* error);
void ModuleHardwareClose(ModuleHardware* hw);
