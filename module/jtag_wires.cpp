#include "module/jtag_wires.h"

namespace {

struct PartPins {
  uint32_t partCode;
  JtagPins pins;
};

constexpr PartPins kPartPins[] = {
    {2, {83, 129, 86, 85}},
    {8, {85, 84, 88, 87}},
    {9, {85, 84, 88, 87}},
};

// The wire's level from its pin: driven by a GPIO output, else pulled up.
bool WireLevel(const JtagWires* w, uint32_t pin, uint32_t mfpOffset) {
  bool drives = MfpFunctionAt(*w->mfp, mfpOffset) == kMfpFunctionGpio && GpioIsOutput(*w->gpio, pin);
  return !drives || GpioDrives(*w->gpio, pin);
}

void Changed(void* context) { JtagWiresUpdate(static_cast<JtagWires*>(context)); }

}  // namespace

bool JtagPinsFor(uint32_t partCode, JtagPins* pins) {
  for (const PartPins& p : kPartPins) {
    if (p.partCode == partCode) {
      *pins = p.pins;
      return true;
    }
  }
  return false;
}

bool TdoStuckParse(const std::string& text, TdoStuck* stuck) {
  if (text.empty()) *stuck = TdoStuck::None;
  else if (text == "high") *stuck = TdoStuck::High;
  else if (text == "low") *stuck = TdoStuck::Low;
  else return false;
  return true;
}

bool JtagWiresConnect(JtagWires* wires, GpioBlock* gpio, MfpBlock* mfp, uint32_t partCode, JtagTap* tap,
                      TdoStuck stuck) {
  *wires = JtagWires{};
  JtagPins pins;
  if (!JtagPinsFor(partCode, &pins) || !MfpRegisterOffset(partCode, pins.tck, &wires->tckMfp) ||
      !MfpRegisterOffset(partCode, pins.tms, &wires->tmsMfp) || !MfpRegisterOffset(partCode, pins.tdi, &wires->tdiMfp) ||
      !MfpRegisterOffset(partCode, pins.tdo, &wires->tdoMfp)) {
    return false;
  }
  wires->gpio = gpio;
  wires->mfp = mfp;
  wires->tap = tap;
  wires->stuck = stuck;
  wires->pins = pins;
  gpio->watch = GpioWatch{Changed, wires};
  mfp->changed = Changed;
  mfp->context = wires;
  JtagWiresUpdate(wires);
  return true;
}

void JtagWiresDisconnect(JtagWires* wires) {
  if (wires->gpio != nullptr) {
    wires->gpio->watch = GpioWatch{};
    GpioReleaseFromOutside(wires->gpio, wires->pins.tdo);
  }
  if (wires->mfp != nullptr) {
    wires->mfp->changed = nullptr;
    wires->mfp->context = nullptr;
  }
  *wires = JtagWires{};
}

void JtagWiresUpdate(JtagWires* w) {
  if (w->tap != nullptr) {
    JtagTapClock(w->tap, WireLevel(w, w->pins.tck, w->tckMfp), WireLevel(w, w->pins.tms, w->tmsMfp),
                 WireLevel(w, w->pins.tdi, w->tdiMfp));
  }
  // The GPIO block sees the pad only while the pin is its GPIO; otherwise
  // the pin's bit reads its pull-up.
  if (MfpFunctionAt(*w->mfp, w->tdoMfp) == kMfpFunctionGpio) {
    GpioDriveFromOutside(w->gpio, w->pins.tdo, JtagTdoLine(w->stuck, w->tap));
  } else {
    GpioReleaseFromOutside(w->gpio, w->pins.tdo);
  }
}
