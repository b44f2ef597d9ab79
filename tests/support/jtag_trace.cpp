#include "tests/support/jtag_trace.h"

#include "module/hardware.h"
#include "platform/hardware_link.h"

namespace {

constexpr uint32_t kSetLevel = 0x18, kClearLevel = 0x24, kBank3 = 0x100;
constexpr uint32_t kPinBlocksEnd = 0x40E20000;

// The TAP controller's graph: the next state for TMS 0 and 1.
constexpr uint8_t kNext[16][2] = {{1, 0},  {1, 2},   {3, 9},   {4, 5},   {4, 5},   {6, 8},   {6, 7},   {4, 8},
                                  {1, 2},  {10, 0},  {11, 12}, {11, 12}, {13, 15}, {13, 14}, {11, 15}, {1, 2}};
constexpr uint8_t kShiftDr = 4, kShiftIr = 11;

// The bank register offset of a level group for `pin`.
uint32_t BankOffset(uint32_t group, uint32_t pin) {
  uint32_t bank = (pin % 128) / 32;
  return group + (bank == 3 ? kBank3 : bank * 4);
}

}  // namespace

uint64_t JtagShift::Value() const {
  uint64_t v = 0;
  for (size_t i = 0; i < bits.size() && i < 64; i++) v |= uint64_t{bits[i]} << i;
  return v;
}

std::vector<JtagEdge> TckEdges(const std::vector<BusTraceEntry>& trace, const TracePins& wires, uint8_t startState) {
  uint8_t tck = 1, tms = 1, tdi = 0, state = startState;
  std::vector<JtagEdge> edges;
  auto level = [](const BusTraceEntry& e, uint32_t pin, uint8_t* wire) {
    uint32_t bit = 1u << (pin % 32);
    if (e.address == kGpioBase + BankOffset(kSetLevel, pin) && (e.value & bit)) *wire = 1;
    if (e.address == kGpioBase + BankOffset(kClearLevel, pin) && (e.value & bit)) *wire = 0;
  };
  for (const BusTraceEntry& e : trace) {
    if (!e.write) continue;
    uint8_t before = tck;
    level(e, wires.tms, &tms);
    level(e, wires.tdi, &tdi);
    level(e, wires.tck, &tck);
    if (before == 0 && tck == 1) {
      edges.push_back({tms, tdi, state});
      state = kNext[state][tms];
    }
  }
  return edges;
}

std::vector<int> TmsOf(const std::vector<JtagEdge>& edges) {
  std::vector<int> tms;
  for (const JtagEdge& e : edges) tms.push_back(e.tms);
  return tms;
}

std::vector<JtagShift> ShiftsOf(const std::vector<JtagEdge>& edges) {
  std::vector<JtagShift> shifts;
  bool shifting = false;
  for (const JtagEdge& e : edges) {
    bool in = e.stateBefore == kShiftDr || e.stateBefore == kShiftIr;
    if (in && !shifting) shifts.push_back({e.stateBefore == kShiftIr, {}});
    if (in) shifts.back().bits.push_back(e.tdi);
    shifting = in && e.tms == 0;
  }
  return shifts;
}

std::vector<BusTraceEntry> PinAccesses(const std::vector<BusTraceEntry>& trace) {
  std::vector<BusTraceEntry> pins;
  for (const BusTraceEntry& e : trace) {
    if (e.address >= kGpioBase && e.address < kPinBlocksEnd) pins.push_back(e);
  }
  return pins;
}

void StartBusTrace() {
  PhysBus& bus = PlatformHardware()->bus;
  bus.trace.clear();
  bus.tracing = true;
}

std::vector<BusTraceEntry> TakeBusTrace() {
  PhysBus& bus = PlatformHardware()->bus;
  std::vector<BusTraceEntry> trace;
  trace.swap(bus.trace);
  bus.tracing = false;
  return trace;
}
