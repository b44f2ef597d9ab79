#include "module/gpio_model.h"

namespace {

constexpr uint32_t kPxa3xxPartCodes[] = {2, 8, 9};
constexpr uint32_t kWordBytes = 4;
// Banks 0-2 of the level, direction, set and clear groups lie 12 bytes apart.
constexpr uint32_t kGroupStride = 12;
constexpr uint32_t kGroups = 4;
constexpr uint32_t kLowBanks = 3;
constexpr uint32_t kAltFunctionEnd = kGpioAltFunction + kGpioAltFunctionRegisters * kWordBytes;

enum Group : uint32_t { kLevelGroup, kDirectionGroup, kSetGroup, kClearGroup, kNoGroup };

struct Decoded {
  Group group = kNoGroup;
  uint32_t bank = 0;
};

// The level, direction, set and clear groups, banks 0-2 and bank 3.
Decoded DecodeBankRegister(uint32_t offset) {
  if (offset % kWordBytes != 0) return {};
  if (offset < kGroups * kGroupStride) {
    return {static_cast<Group>(offset / kGroupStride), (offset % kGroupStride) / kWordBytes};
  }
  uint32_t high = offset - kGpioBank3Offset;
  if (offset >= kGpioBank3Offset && high < kGroups * kGroupStride && high % kGroupStride == 0) {
    return {static_cast<Group>(high / kGroupStride), kLowBanks};
  }
  return {};
}

// The PXA3xx set and clear direction registers: bank b at 4 * b.
bool DecodeDirectionPair(uint32_t offset, uint32_t base, uint32_t* bank) {
  if (offset < base || offset - base >= kGpioBanks * kWordBytes || offset % kWordBytes != 0) return false;
  *bank = (offset - base) / kWordBytes;
  return true;
}

void Changed(GpioBlock* g) {
  if (g->watch.changed != nullptr) g->watch.changed(g->watch.context);
}

void SetBits(GpioBlock* g, uint32_t* word, uint32_t value) {
  if (value == *word) return;
  *word = value;
  Changed(g);
}

uint32_t BusRead(void* device, uint32_t offset) { return GpioRead(static_cast<GpioBlock*>(device), offset); }
void BusWrite(void* device, uint32_t offset, uint32_t value) {
  GpioWrite(static_cast<GpioBlock*>(device), offset, value);
}

const BusDeviceOps kOps = {BusRead, BusWrite, nullptr};

}  // namespace

GpioLayout GpioLayoutFor(uint32_t partCode) {
  for (uint32_t code : kPxa3xxPartCodes) {
    if (code == partCode) return GpioLayout::Pxa3xx;
  }
  return GpioLayout::Pxa27x;
}

void GpioPowerUp(GpioBlock* gpio, GpioLayout layout) {
  GpioWatch watch = gpio->watch;
  *gpio = GpioBlock{};
  gpio->layout = layout;
  gpio->watch = watch;
}

void GpioDriveFromOutside(GpioBlock* gpio, uint32_t pin, bool level) {
  uint32_t bank = GpioBank(pin), bit = GpioBit(pin);
  gpio->driven[bank] |= bit;
  gpio->drivenLevel[bank] = level ? gpio->drivenLevel[bank] | bit : gpio->drivenLevel[bank] & ~bit;
}

void GpioReleaseFromOutside(GpioBlock* gpio, uint32_t pin) {
  gpio->driven[GpioBank(pin)] &= ~GpioBit(pin);
}

uint32_t GpioRead(GpioBlock* g, uint32_t offset) {
  Decoded d = DecodeBankRegister(offset);
  switch (d.group) {
    case kLevelGroup: return GpioBankLevels(*g, d.bank);
    case kDirectionGroup: return g->output[d.bank];
    case kSetGroup:
    case kClearGroup: return 0;  // write-only
    case kNoGroup: break;
  }
  if (g->layout == GpioLayout::Pxa27x && offset >= kGpioAltFunction && offset < kAltFunctionEnd &&
      offset % kWordBytes == 0) {
    return g->altFunction[(offset - kGpioAltFunction) / kWordBytes];
  }
  uint32_t bank = 0;
  if (g->layout == GpioLayout::Pxa3xx &&
      (DecodeDirectionPair(offset, kGpioSetDirection, &bank) || DecodeDirectionPair(offset, kGpioClearDirection, &bank))) {
    return 0;  // write-only
  }
  g->strayAccesses++;
  return 0;
}

void GpioWrite(GpioBlock* g, uint32_t offset, uint32_t value) {
  Decoded d = DecodeBankRegister(offset);
  switch (d.group) {
    case kSetGroup: SetBits(g, &g->latch[d.bank], g->latch[d.bank] | value); return;
    case kClearGroup: SetBits(g, &g->latch[d.bank], g->latch[d.bank] & ~value); return;
    case kDirectionGroup: SetBits(g, &g->output[d.bank], value); return;
    case kLevelGroup: return;  // read-only: levels are set through the set and clear registers
    case kNoGroup: break;
  }
  uint32_t bank = 0;
  if (g->layout == GpioLayout::Pxa3xx) {
    if (DecodeDirectionPair(offset, kGpioSetDirection, &bank)) {
      SetBits(g, &g->output[bank], g->output[bank] | value);
      return;
    }
    if (DecodeDirectionPair(offset, kGpioClearDirection, &bank)) {
      SetBits(g, &g->output[bank], g->output[bank] & ~value);
      return;
    }
  } else if (offset >= kGpioAltFunction && offset < kAltFunctionEnd && offset % kWordBytes == 0) {
    SetBits(g, &g->altFunction[(offset - kGpioAltFunction) / kWordBytes], value);
    return;
  }
  g->strayAccesses++;
}

const BusDeviceOps* GpioBusOps() { return &kOps; }
