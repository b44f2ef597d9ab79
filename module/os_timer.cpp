#include "module/os_timer.h"

#include <time.h>

namespace {

constexpr uint32_t kWordBytes = 4;
constexpr uint64_t kNsPerSecond = 1000000000;
// 3.25 MHz is 13 counts every 4000 ns.
constexpr uint64_t kCountsPerStep = 13;
constexpr uint64_t kNsPerStep = 4000;
static_assert(kNsPerSecond / kNsPerStep * kCountsPerStep == kOsTimerHz);

uint32_t Counter(const OsTimer* timer) { return static_cast<uint32_t>(OsTimerHostTicks()) + timer->offset; }

bool IsKept(uint32_t offset) { return offset <= kOsTimerInterrupts && offset != kOsTimerCounter; }

uint32_t BusRead(void* device, uint32_t offset) { return OsTimerRead(static_cast<OsTimer*>(device), offset); }
void BusWrite(void* device, uint32_t offset, uint32_t value) {
  OsTimerWrite(static_cast<OsTimer*>(device), offset, value);
}

const BusDeviceOps kOps = {BusRead, BusWrite, nullptr};

}  // namespace

uint64_t OsTimerHostTicks() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ns = static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
  // In two steps, so a host that has run for years does not overflow.
  return ns / kNsPerStep * kCountsPerStep + ns % kNsPerStep * kCountsPerStep / kNsPerStep;
}

void OsTimerPowerUp(OsTimer* timer) {
  *timer = OsTimer{};
  timer->offset = 0u - static_cast<uint32_t>(OsTimerHostTicks());
}

uint32_t OsTimerRead(OsTimer* timer, uint32_t offset) {
  if (offset == kOsTimerCounter) return Counter(timer);
  if (offset % kWordBytes == 0 && IsKept(offset)) return timer->kept[offset / kWordBytes];
  timer->strayAccesses++;
  return 0;
}

void OsTimerWrite(OsTimer* timer, uint32_t offset, uint32_t value) {
  if (offset == kOsTimerCounter) {
    timer->offset = value - static_cast<uint32_t>(OsTimerHostTicks());
  } else if (offset % kWordBytes == 0 && IsKept(offset)) {
    timer->kept[offset / kWordBytes] = value;
  } else {
    timer->strayAccesses++;
  }
}

const BusDeviceOps* OsTimerBusOps() { return &kOps; }
