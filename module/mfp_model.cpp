#include "module/mfp_model.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr uint32_t kWordBytes = 4;

// Consecutive pins whose registers lie one word apart.
struct PinRun {
  uint32_t firstPin;
  uint32_t lastPin;
  uint32_t firstOffset;  // byte offset in the page of the first pin's register
};

// Part code 2: the block the pins are counted in starts 0x124 into the page.
constexpr uint32_t kPart2BlockOffset = 0x124;
constexpr uint32_t Part2(uint32_t index) { return kPart2BlockOffset + kWordBytes * index; }
constexpr PinRun kPart2Runs[] = {
    {0, 4, Part2(0)},       {5, 9, Part2(90)},      {10, 10, Part2(205)},   {11, 26, Part2(95)},
    {27, 48, Part2(183)},   {49, 62, Part2(206)},   {63, 73, Part2(228)},   {74, 98, Part2(243)},
    {99, 133, Part2(311)},  {134, 141, Part2(220)}, {142, 145, Part2(239)},
};

// Part codes 8 and 9 (only part code 9 has pins 135-138).
constexpr PinRun kPart89Runs[] = {
    {0, 2, 0x0B4}, {3, 26, 0x27C}, {27, 98, 0x400}, {99, 129, 0x600}, {130, 134, 0x2DC}, {135, 138, 0x52C},
};
// On part code 9 these pins' registers lie three words beyond the part-8 place.
constexpr uint32_t kPart9ShiftedFirst = 30;
constexpr uint32_t kPart9ShiftedLast = 98;
constexpr uint32_t kPart9ShiftBytes = 3 * kWordBytes;

struct PartPins {
  uint32_t partCode;
  const PinRun* runs;
  size_t runCount;
  uint32_t pins;
  bool part9Shift;
};
constexpr PartPins kParts[] = {
    {2, kPart2Runs, std::size(kPart2Runs), 146, false},
    {8, kPart89Runs, std::size(kPart89Runs), 135, false},
    {9, kPart89Runs, std::size(kPart89Runs), 139, true},
};

uint32_t BusRead(void* device, uint32_t offset) { return MfpRead(static_cast<MfpBlock*>(device), offset); }
void BusWrite(void* device, uint32_t offset, uint32_t value) { MfpWrite(static_cast<MfpBlock*>(device), offset, value); }

const BusDeviceOps kOps = {BusRead, BusWrite, nullptr};

}  // namespace

void MfpPowerUp(MfpBlock* mfp) {
  std::fill(std::begin(mfp->regs), std::end(mfp->regs), kMfpResetValue);
  mfp->strayAccesses = 0;
}

bool MfpRegisterOffset(uint32_t partCode, uint32_t pin, uint32_t* offset) {
  for (const PartPins& part : kParts) {
    if (part.partCode != partCode || pin >= part.pins) continue;
    for (size_t i = 0; i < part.runCount; i++) {
      const PinRun& r = part.runs[i];
      if (pin < r.firstPin || pin > r.lastPin) continue;
      *offset = r.firstOffset + kWordBytes * (pin - r.firstPin);
      if (part.part9Shift && pin >= kPart9ShiftedFirst && pin <= kPart9ShiftedLast) *offset += kPart9ShiftBytes;
      return true;
    }
  }
  return false;
}

uint32_t MfpRead(MfpBlock* mfp, uint32_t offset) {
  if (offset % kWordBytes != 0 || offset >= kMfpBusBytes) {
    mfp->strayAccesses++;
    return 0;
  }
  return mfp->regs[offset / kWordBytes];
}

void MfpWrite(MfpBlock* mfp, uint32_t offset, uint32_t value) {
  if (offset % kWordBytes != 0 || offset >= kMfpBusBytes) {
    mfp->strayAccesses++;
    return;
  }
  mfp->regs[offset / kWordBytes] = value;
  if (mfp->changed != nullptr) mfp->changed(mfp->context);
}

const BusDeviceOps* MfpBusOps() { return &kOps; }
