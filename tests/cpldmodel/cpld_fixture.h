// Wires for the CPLD model's tests: its TAP clocked directly, or the
// processor's pins on a module's bus the way the program drives them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "module/cpld_model.h"
#include "module/hardware.h"
#include "module/jtag_wires.h"
#include "tests/cpldmodel/xsvf_player.h"

// Straight onto a TAP, TDO as the line shows it (high while not driven).
JtagDriver TapDriver(JtagTap* tap);

// The board's JTAG pins through the GPIO set, clear and level registers on
// the bus, after selecting their GPIO function and direction as a program
// opening the port does.
struct PinWires {
  PhysBus* bus = nullptr;
  JtagPins pins;
};
void OpenPins(PinWires* wires, PhysBus* bus, uint32_t partCode);
JtagDriver PinDriver(PinWires* wires);

struct Scanned {
  uint8_t irCapture = 0;  // what the instruction register shifted out
  uint64_t dr = 0;        // what the data register shifted out
};
// From any state: reset, load `instruction`, shift `bits` of `tdi` (at most
// 64) through the selected data register and end in Run-Test/Idle.
Scanned ScanInstruction(const JtagDriver& d, uint8_t instruction, uint32_t bits, uint64_t tdi = 0);

// A CPLD model over cpld.img in a temporary directory.
class CpldTest : public ::testing::Test {
 protected:
  CpldTest();
  void TearDown() override { Close(); }
  void Open();
  void Close();
  // Plays a vendor file on the model's TAP.
  XsvfOutcome Play(const char* file);
  JtagDriver Driver() { return TapDriver(CpldModelTap(model_)); }

  ModuleConfig config_;
  std::string path_;
  CpldModel* model_ = nullptr;
};
