// The JTAG wires as a bus trace shows them: pin levels from the writes to
// the GPIO set- and clear-level registers, the TAP followed through every
// rising TCK edge.
#pragma once

#include <cstdint>
#include <vector>

#include "module/phys_bus.h"

constexpr uint32_t kGpioBase = 0x40E00000;
constexpr uint32_t kMfpPart2 = 0x40E10124;
constexpr uint32_t kMfpPart89 = 0x40E100B4;

struct TracePins {
  uint32_t tck;
  uint32_t tms;
  uint32_t tdi;
};
constexpr TracePins kTracePinsPart2 = {83, 129, 86};
constexpr TracePins kTracePinsPart89 = {85, 84, 88};

// What the wires carried at one rising TCK edge, and the TAP state the edge
// left (followed from the state the trace began in).
struct JtagEdge {
  uint8_t tms;
  uint8_t tdi;
  uint8_t stateBefore;
};

// The bits of one stay in Shift-DR or Shift-IR, in the order shifted.
struct JtagShift {
  bool ir;
  std::vector<uint8_t> bits;
  // The bits as a number, the first shifted the least significant.
  uint64_t Value() const;
};

// TCK and TMS are taken as high where the trace begins.
std::vector<JtagEdge> TckEdges(const std::vector<BusTraceEntry>& trace, const TracePins& wires, uint8_t startState = 0);
std::vector<int> TmsOf(const std::vector<JtagEdge>& edges);
std::vector<JtagShift> ShiftsOf(const std::vector<JtagEdge>& edges);

// Accesses of the GPIO and multi-function blocks.
std::vector<BusTraceEntry> PinAccesses(const std::vector<BusTraceEntry>& trace);

// Starts tracing the attached module's bus (clearing what was traced), and
// takes what was traced since, ending the trace.
void StartBusTrace();
std::vector<BusTraceEntry> TakeBusTrace();
