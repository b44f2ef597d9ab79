// Virtual memory and physical windows. A physical window is a reserved
// range attached to physical addresses with VirtualCopy; it keeps no access
// rights, so a direct dereference faults, and every access goes through the
// register calls below to the module's bus.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/types.h"

constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD MEM_DECOMMIT = 0x4000;
constexpr DWORD MEM_RELEASE = 0x8000;

constexpr DWORD PAGE_NOACCESS = 0x01;
constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;
constexpr DWORD PAGE_NOCACHE = 0x200;
constexpr DWORD PAGE_PHYSICAL = 0x400;  // VirtualCopy: the source is a physical address >> 8

// Reserves and/or commits whole 4 KB pages. With an address and MEM_COMMIT
// alone it commits pages of an existing reservation. Null on failure.
LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD type, DWORD protect);

// MEM_RELEASE (size 0, the reservation's base) returns the whole reservation
// and drops the physical windows in it; MEM_DECOMMIT discards the pages of a
// range (size 0: up to the reservation's end).
BOOL VirtualFree(LPVOID address, DWORD size, DWORD type);

// With PAGE_PHYSICAL: attaches the reserved, uncommitted pages at `dest` to
// physical address `src` << 8. Privileged callers only, as on the module
// (ERROR_ACCESS_DENIED from user mode). Copies between virtual ranges are not
// offered (ERROR_NOT_SUPPORTED).
BOOL VirtualCopy(LPVOID dest, LPVOID src, DWORD size, DWORD protect);

// Register access through a physical window. An access outside every window,
// a misaligned one, or a write through a read-only window ends the process
// with a message, as a data abort would.
ULONG READ_REGISTER_ULONG(volatile ULONG* reg);
void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value);
// `count` consecutive words from `reg` on; they may run on into the window
// that starts where the first one ends.
void READ_REGISTER_BUFFER_ULONG(volatile ULONG* reg, ULONG* buffer, ULONG count);
void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* reg, const ULONG* buffer, ULONG count);

// What tests inspect: the window that holds an address.
struct PhysWindowInfo {
  uintptr_t virt = 0;
  size_t bytes = 0;
  uint32_t phys = 0;
  bool writable = false;
};
bool MemoryFindWindow(const volatile void* address, PhysWindowInfo* info);
size_t MemoryWindowCount();
size_t MemoryReservationCount();

// Returns every reservation (for tests).
void MemoryReset();
