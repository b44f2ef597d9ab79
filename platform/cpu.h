// The processor as the program reads it: the main ID register of coprocessor
// 15 and the current program status register. A thread runs in user mode
// unless the module is set up to run programs privileged, or the kernel runs
// it on the program's behalf.
#pragma once

#include "platform/types.h"

// Status register of the calling thread; its low five bits are the mode.
DWORD CpuReadCpsr();

// Whether the calling thread runs in a mode other than user mode, as the
// kernel tests its caller before privileged services.
bool CpuInPrivilegedMode();

// Main ID register. In user mode this is an undefined instruction: the
// process ends with a message, as it would on the module.
DWORD CpuReadMainId();

// The kernel's side: the calling thread runs privileged until the matching
// leave. Nests.
void CpuEnterPrivileged();
void CpuLeavePrivileged();

// The calling thread back in its initial mode (for tests).
void CpuReset();
