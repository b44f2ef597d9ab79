// Stand-in for the module's processor: the main ID register of coprocessor 15
// and the mode field of the current program status register.
#pragma once

#include <cstdint>

#include "module/module_config.h"

// Main ID register: implementer, architecture and core generation fixed for
// the family, part code in bits 4-9, revision in bits 0-3.
constexpr uint32_t kMainIdFamilyBits = 0x69054000;
constexpr uint32_t kMainIdPartShift = 4;
constexpr uint32_t kMainIdPartMask = 0x3F;
constexpr uint32_t kMainIdRevisionMask = 0xF;
constexpr uint32_t kProcessorRevision = 7;

// Program status register mode field values; user mode is the only one whose
// low four bits are zero.
constexpr uint32_t kCpsrModeMask = 0x1F;
constexpr uint32_t kCpsrModeUser = 0x10;
constexpr uint32_t kCpsrModeSystem = 0x1F;

struct Processor {
  uint32_t mainId = 0;
  bool privilegedByDefault = false;  // every thread starts in a privileged mode
};

uint32_t ProcessorMainIdFor(uint32_t partCode, uint32_t revision);

// The processor of the board module.ini describes.
void ProcessorInit(Processor* cpu, const ModuleConfig& config);

// The status register of a thread that runs privileged or not.
uint32_t ProcessorCpsr(bool privileged);

// Coprocessor 15 is not reachable from user mode: the real processor takes an
// undefined-instruction fault there, so this reports false instead of a value.
bool ProcessorReadMainId(const Processor& cpu, bool privileged, uint32_t* value);
