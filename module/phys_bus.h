// The module's physical bus: device models registered by physical address
// range, every access dispatched through the owning device's function table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BusDeviceOps {
  uint32_t (*read32)(void* device, uint32_t offset);
  void (*write32)(void* device, uint32_t offset, uint32_t value);
  // Consecutive words from `offset`; null means one read32 per word.
  void (*readWords)(void* device, uint32_t offset, uint32_t* out, size_t count);
  // Consecutive words from `offset`, each taking effect as its own write32
  // would; null means one write32 per word.
  void (*writeWords)(void* device, uint32_t offset, const uint32_t* in, size_t count) = nullptr;
};

struct BusRange {
  const char* name;  // shown in the trace
  uint32_t base;     // physical address of the first byte
  uint32_t size;     // bytes
  const BusDeviceOps* ops;
  void* device;
};

struct BusTraceEntry {
  const char* device;  // null for an access no device answered
  bool write;
  uint32_t address;    // physical
  uint32_t value;
};

struct PhysBus {
  std::vector<BusRange> ranges;  // sorted by base, never overlapping
  // Drivers hammer one device at a time, so the range that answered last is
  // tried before searching.
  size_t lastHit = 0;
  bool tracing = false;
  std::vector<BusTraceEntry> trace;
};

// Adds a device; refuses a range that overlaps another or wraps the address space.
bool PhysBusAttach(PhysBus* bus, const BusRange& range, std::string* error);

// An address no device answers reads as all ones and ignores writes, as an
// open bus does; both are traced.
uint32_t PhysBusRead32(PhysBus* bus, uint32_t address);
void PhysBusWrite32(PhysBus* bus, uint32_t address, uint32_t value);
void PhysBusReadWords(PhysBus* bus, uint32_t address, uint32_t* out, size_t count);
void PhysBusWriteWords(PhysBus* bus, uint32_t address, const uint32_t* in, size_t count);

// The device that answers `address`, or null for open bus.
const BusRange* PhysBusFind(PhysBus* bus, uint32_t address);
