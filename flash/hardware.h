// Hardware access for a program that runs in user mode: the processor mode
// test, the kernel request channel, the processor part code and windows onto
// physical memory. In a privileged mode the primitives act directly and the
// kernel channel is not used.
#pragma once

#include <cstdint>

#include "platform/kernel.h"
#include "platform/memory.h"

constexpr uint32_t PHYS_PAGE_BYTES = 0x1000;
constexpr uint32_t PHYS_MAP_WINDOW_BYTES = 0x2000;    // PhysMap: the register's page and the next
constexpr uint32_t PHYS_MAP_CHUNK_BYTES = 0x2000000;  // PhysMapRange maps at most this much per request
constexpr uint32_t PHYS_MAP_PROTECT = PAGE_READWRITE | PAGE_NOCACHE | PAGE_PHYSICAL;  // 0x604

constexpr uint32_t CPU_PART_CODE_SHIFT = 4;  // main ID register bits 4-9
constexpr uint32_t CPU_PART_CODE_MASK = 0x3F;

// True in any processor mode but user mode.
bool InPrivilegedMode();

// Runs `function(argument)` in privileged mode through the kernel and returns
// its result; 0 for a null function or when the kernel wrote nothing.
uint32_t KernelCall(KernelFunction function, uintptr_t argument);

// Processor part code (0-63): 17 on the NOR module; 2, 8 or 9 on the NAND
// modules. Read afresh on every call.
uint32_t CpuPartCode();

// Maps physical memory (address >> 8 in `phys8`) into the reserved range at
// `virt`. True on success.
bool PhysCopy(void* virt, uint32_t phys8, uint32_t size, uint32_t flags);

// The register at `phys` in a new window over its page and the next; null on
// failure.
volatile uint32_t* PhysMap(uint32_t phys);

// The first byte of `phys` (rounded down to its word) in a new window over the
// whole range; null on failure, also for a range past the 32-bit address space.
volatile uint32_t* PhysMapRange(uint32_t phys, uint32_t size);

// Releases the window holding a pointer that PhysMap or PhysMapRange returned.
void PhysUnmap(volatile void* pointer);

// Forgets the board query, so the next mapping from user mode sends it again
// (for tests).
void HardwareReset();
