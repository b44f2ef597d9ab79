#include "tests/cpldmodel/cpld_fixture.h"

#include "module/gpio_model.h"
#include "module/mfp_model.h"
#include "tests/support/temp_module.h"

namespace {

void TapSet(void* context, bool tck, bool tms, bool tdi) { JtagTapClock(static_cast<JtagTap*>(context), tck, tms, tdi); }
bool TapTdo(void* context) { return JtagTdoLine(TdoStuck::None, static_cast<JtagTap*>(context)); }

uint32_t Offset(uint32_t group, uint32_t pin) {
  uint32_t bank = GpioBank(pin);
  return group + (bank == 3 ? kGpioBank3Offset : 4 * bank);
}

void Drive(PinWires* w, uint32_t pin, bool level) {
  PhysBusWrite32(w->bus, kGpioPhysBase + Offset(level ? kGpioSetLevel : kGpioClearLevel, pin), GpioBit(pin));
}

void PinSet(void* context, bool tck, bool tms, bool tdi) {
  auto* w = static_cast<PinWires*>(context);
  Drive(w, w->pins.tms, tms);
  Drive(w, w->pins.tdi, tdi);
  Drive(w, w->pins.tck, tck);
}

bool PinTdo(void* context) {
  auto* w = static_cast<PinWires*>(context);
  return (PhysBusRead32(w->bus, kGpioPhysBase + Offset(kGpioLevel, w->pins.tdo)) & GpioBit(w->pins.tdo)) != 0;
}

// One TCK cycle; TDO as read between the edges.
bool Cycle(const JtagDriver& d, bool tms, bool tdi) {
  d.set(d.context, false, tms, tdi);
  bool tdo = d.tdo(d.context);
  d.set(d.context, true, tms, tdi);
  return tdo;
}

uint64_t Shift(const JtagDriver& d, uint32_t bits, uint64_t tdi) {
  uint64_t out = 0;
  for (uint32_t i = 0; i < bits; i++) {
    if (Cycle(d, i + 1 == bits, i < 64 && ((tdi >> i) & 1) != 0) && i < 64) out |= uint64_t{1} << i;
  }
  return out;
}

}  // namespace

JtagDriver TapDriver(JtagTap* tap) { return JtagDriver{TapSet, TapTdo, tap}; }

void OpenPins(PinWires* w, PhysBus* bus, uint32_t partCode) {
  w->bus = bus;
  ASSERT_TRUE(JtagPinsFor(partCode, &w->pins));
  for (uint32_t pin : {w->pins.tck, w->pins.tms, w->pins.tdi, w->pins.tdo}) {
    uint32_t mfp = 0;
    ASSERT_TRUE(MfpRegisterOffset(partCode, pin, &mfp));
    uint32_t value = PhysBusRead32(bus, kMfpPhysBase + mfp);
    PhysBusWrite32(bus, kMfpPhysBase + mfp, value & ~kMfpFunctionMask);
    uint32_t direction = pin == w->pins.tdo ? kGpioClearDirection : kGpioSetDirection;
    PhysBusWrite32(bus, kGpioPhysBase + direction + 4 * GpioBank(pin), GpioBit(pin));
  }
}

JtagDriver PinDriver(PinWires* wires) { return JtagDriver{PinSet, PinTdo, wires}; }

Scanned ScanInstruction(const JtagDriver& d, uint8_t instruction, uint32_t bits, uint64_t tdi) {
  Scanned s;
  for (int i = 0; i < 5; i++) Cycle(d, true, false);
  for (bool tms : {false, true, true, false, false}) Cycle(d, tms, false);  // to Shift-IR
  s.irCapture = static_cast<uint8_t>(Shift(d, kTapIrBits, instruction));
  for (bool tms : {true, true, false, false}) Cycle(d, tms, false);  // Update-IR, Select-DR, Capture, Shift-DR
  s.dr = Shift(d, bits, tdi);
  for (bool tms : {true, false}) Cycle(d, tms, false);  // Update-DR, Run-Test/Idle
  return s;
}

CpldTest::CpldTest() {
  ModuleConfigForBoard("nand", &config_);
  path_ = MakeTempDir("cpldmodel") + "/cpld.img";
}

void CpldTest::Open() {
  Close();
  std::string error;
  model_ = CpldModelOpen(path_, config_, &error);
  ASSERT_NE(model_, nullptr) << error;
}

void CpldTest::Close() {
  CpldModelClose(model_);
  model_ = nullptr;
}

XsvfOutcome CpldTest::Play(const char* file) {
  std::vector<uint8_t> stream = XsvfFile(file);
  EXPECT_FALSE(stream.empty()) << file;
  return XsvfPlay(stream, Driver());
}
