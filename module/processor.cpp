#include "module/processor.h"

uint32_t ProcessorMainIdFor(uint32_t partCode, uint32_t revision) {
  return kMainIdFamilyBits | (partCode & kMainIdPartMask) << kMainIdPartShift | (revision & kMainIdRevisionMask);
}

void ProcessorInit(Processor* cpu, const ModuleConfig& config) {
  cpu->mainId = ProcessorMainIdFor(config.cpuPartCode, kProcessorRevision);
  cpu->privilegedByDefault = config.cpuPrivileged;
}

uint32_t ProcessorCpsr(bool privileged) { return privileged ? kCpsrModeSystem : kCpsrModeUser; }

bool ProcessorReadMainId(const Processor& cpu, bool privileged, uint32_t* value) {
  if (!privileged) return false;
  *value = cpu.mainId;
  return true;
}
