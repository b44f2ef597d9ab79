#include "module/phys_bus.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint64_t kAddressSpaceBytes = uint64_t{1} << 32;
constexpr uint32_t kOpenBusValue = 0xFFFFFFFF;
constexpr uint32_t kWordBytes = 4;

uint64_t RangeEnd(const BusRange& r) { return uint64_t{r.base} + r.size; }

bool Contains(const BusRange& r, uint32_t address) { return address >= r.base && address - r.base < r.size; }

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

void Trace(PhysBus* bus, const BusRange* range, bool write, uint32_t address, uint32_t value) {
  if (!bus->tracing) return;
  bus->trace.push_back(BusTraceEntry{range != nullptr ? range->name : nullptr, write, address, value});
}

// The device that answers every word of [address, address + count words),
// or null when the run crosses devices or open bus.
const BusRange* OneDevice(PhysBus* bus, uint32_t address, size_t count) {
  const BusRange* range = PhysBusFind(bus, address);
  if (range == nullptr || uint64_t{address} + uint64_t{count} * kWordBytes > RangeEnd(*range)) return nullptr;
  return range;
}

}  // namespace

bool PhysBusAttach(PhysBus* bus, const BusRange& range, std::string* error) {
  if (range.ops == nullptr || range.ops->read32 == nullptr || range.ops->write32 == nullptr) {
    *error = std::string("device ") + (range.name ? range.name : "?") + " has no read or write function";
    return false;
  }
  if (range.size == 0 || RangeEnd(range) > kAddressSpaceBytes) {
    *error = std::string("device ") + (range.name ? range.name : "?") + " at " + Hex(range.base) +
             " has an empty range or one past the end of the address space";
    return false;
  }
  auto at = std::upper_bound(bus->ranges.begin(), bus->ranges.end(), range.base,
                             [](uint32_t base, const BusRange& r) { return base < r.base; });
  bool overlapsNext = at != bus->ranges.end() && RangeEnd(range) > at->base;
  bool overlapsPrevious = at != bus->ranges.begin() && RangeEnd(*(at - 1)) > range.base;
  if (overlapsNext || overlapsPrevious) {
    const BusRange& other = overlapsNext ? *at : *(at - 1);
    *error = std::string("device ") + (range.name ? range.name : "?") + " at " + Hex(range.base) + " overlaps " +
             (other.name ? other.name : "?") + " at " + Hex(other.base);
    return false;
  }
  bus->ranges.insert(at, range);
  bus->lastHit = 0;
  return true;
}

const BusRange* PhysBusFind(PhysBus* bus, uint32_t address) {
  std::vector<BusRange>& ranges = bus->ranges;
  if (bus->lastHit < ranges.size() && Contains(ranges[bus->lastHit], address)) return &ranges[bus->lastHit];
  auto at =
      std::upper_bound(ranges.begin(), ranges.end(), address, [](uint32_t a, const BusRange& r) { return a < r.base; });
  if (at == ranges.begin()) return nullptr;
  --at;
  if (!Contains(*at, address)) return nullptr;
  bus->lastHit = static_cast<size_t>(at - ranges.begin());
  return &*at;
}

uint32_t PhysBusRead32(PhysBus* bus, uint32_t address) {
  const BusRange* range = PhysBusFind(bus, address);
  uint32_t value = range != nullptr ? range->ops->read32(range->device, address - range->base) : kOpenBusValue;
  Trace(bus, range, false, address, value);
  return value;
}

void PhysBusWrite32(PhysBus* bus, uint32_t address, uint32_t value) {
  const BusRange* range = PhysBusFind(bus, address);
  if (range != nullptr) range->ops->write32(range->device, address - range->base, value);
  Trace(bus, range, true, address, value);
}

void PhysBusReadWords(PhysBus* bus, uint32_t address, uint32_t* out, size_t count) {
  if (count == 0) return;
  const BusRange* range = OneDevice(bus, address, count);
  if (range == nullptr || range->ops->readWords == nullptr) {
    // Crossing devices or open bus: word by word, wrapping as the address lines do.
    for (size_t i = 0; i < count; i++) {
      out[i] = PhysBusRead32(bus, address + static_cast<uint32_t>(i * kWordBytes));
    }
    return;
  }
  range->ops->readWords(range->device, address - range->base, out, count);
  if (bus->tracing) {
    for (size_t i = 0; i < count; i++)
      Trace(bus, range, false, address + static_cast<uint32_t>(i * kWordBytes), out[i]);
  }
}

void PhysBusWriteWords(PhysBus* bus, uint32_t address, const uint32_t* in, size_t count) {
  if (count == 0) return;
  const BusRange* range = OneDevice(bus, address, count);
  // A traced run goes word by word, so the trace holds each write before the
  // next one acts, however the run ends (a power cut ends the process).
  if (range == nullptr || range->ops->writeWords == nullptr || bus->tracing) {
    for (size_t i = 0; i < count; i++) PhysBusWrite32(bus, address + static_cast<uint32_t>(i * kWordBytes), in[i]);
    return;
  }
  range->ops->writeWords(range->device, address - range->base, in, count);
}
