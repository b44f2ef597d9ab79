#include "platform/cpu.h"

#include <cstdio>
#include <cstdlib>

#include "platform/hardware_link.h"

namespace {

// The mode is a property of the running thread, as it is on the processor.
struct CpuThreadState {
  uint32_t privilegedDepth = 0;
};

thread_local CpuThreadState g_cpuThread;

bool ThreadPrivileged(const ModuleHardware* hw) {
  return g_cpuThread.privilegedDepth > 0 || (hw != nullptr && hw->processor.privilegedByDefault);
}

}  // namespace

DWORD CpuReadCpsr() { return ProcessorCpsr(ThreadPrivileged(PlatformHardware())); }

bool CpuInPrivilegedMode() { return ThreadPrivileged(PlatformHardware()); }

DWORD CpuReadMainId() {
  const ModuleHardware* hw = PlatformHardware();
  if (hw == nullptr) {
    std::fprintf(stderr, "flashwright: main ID register read with no module attached\n");
    std::abort();
  }
  uint32_t value = 0;
  if (!ProcessorReadMainId(hw->processor, ThreadPrivileged(hw), &value)) {
    std::fprintf(stderr,
                 "flashwright: undefined instruction: coprocessor 15 read of the main ID register in user mode\n");
    std::abort();
  }
  return value;
}

void CpuEnterPrivileged() { g_cpuThread.privilegedDepth++; }

void CpuLeavePrivileged() {
  if (g_cpuThread.privilegedDepth > 0) g_cpuThread.privilegedDepth--;
}

void CpuReset() { g_cpuThread = CpuThreadState{}; }
