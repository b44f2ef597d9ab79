#include "flash/hardware.h"

#include <cstring>

#include "platform/cpu.h"

namespace {

constexpr uint32_t CPSR_MODE_LOW_BITS = 0xF;  // zero only in user mode
constexpr uint32_t PHYS_SHIFT = 8;
constexpr uint32_t PHYS_MAP_PAGE_FIELD = 0xFFFFF0;  // phys >> 8 of the 4 KB page
constexpr uint32_t PHYS_PAGE_OFFSET_MASK = PHYS_PAGE_BYTES - 1;
constexpr uint32_t PHYS_WORD_OFFSET_MASK = 0xFFC;
constexpr uint32_t WORD_ALIGN_MASK = ~uint32_t{3};
constexpr uint64_t PHYS_SPACE_BYTES = uint64_t{1} << 32;

struct HardwareState {
  uint8_t boardInfo[KERNEL_BOARD_INFO_BYTES] = {};
  bool boardInfoFilled = false;
};

HardwareState g_hardware;

// The kernel calls one function with one argument; this lets it call one
// with two, taken from a record whose address is the argument.
struct TrampolineRecord {
  uint32_t (*function)(uintptr_t argument1, uintptr_t argument2);
  uintptr_t argument1;
  uintptr_t argument2;
};

DWORD Trampoline(uintptr_t recordAddress) {
  const TrampolineRecord* record = reinterpret_cast<const TrampolineRecord*>(recordAddress);
  return record->function(record->argument1, record->argument2);
}

uint32_t ReadPartCode(uintptr_t, uintptr_t) { return (CpuReadMainId() >> CPU_PART_CODE_SHIFT) & CPU_PART_CODE_MASK; }

void QueryBoardOnce() {
  if (g_hardware.boardInfoFilled) return;
  KernelQueryRecord query{KERNEL_REQUEST_QUERY};
  DWORD returned = 0;
  KernelIoControl(IOCTL_KERNEL_REQUEST, &query, sizeof query, g_hardware.boardInfo, sizeof g_hardware.boardInfo,
                  &returned);
  g_hardware.boardInfoFilled = true;
}

void* Reserve(uint32_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS); }

void Release(void* window) { VirtualFree(window, 0, MEM_RELEASE); }

}  // namespace

bool InPrivilegedMode() { return (CpuReadCpsr() & CPSR_MODE_LOW_BITS) != 0; }

uint32_t KernelCall(KernelFunction function, uintptr_t argument) {
  if (function == nullptr) return 0;
  KernelCallRecord record{KERNEL_REQUEST_CALL, function, argument};
  DWORD result = 0;
  // The status is of no interest: a call that did not run leaves the result 0.
  KernelIoControl(IOCTL_KERNEL_REQUEST, &record, sizeof record, &result, sizeof result, nullptr);
  return result;
}

uint32_t CpuPartCode() {
  if (InPrivilegedMode()) return ReadPartCode(0, 0);
  TrampolineRecord record{ReadPartCode, 0, 0};
  return KernelCall(Trampoline, reinterpret_cast<uintptr_t>(&record));
}

bool PhysCopy(void* virt, uint32_t phys8, uint32_t size, uint32_t flags) {
  LPVOID source = reinterpret_cast<LPVOID>(uintptr_t{phys8});
  if (InPrivilegedMode()) return VirtualCopy(virt, source, size, flags) != FALSE;
  QueryBoardOnce();
  KernelMapRecord record{KERNEL_REQUEST_MAP, virt, phys8, size, flags};
  DWORD mapped = 0;
  if (!KernelIoControl(IOCTL_KERNEL_REQUEST, &record, sizeof record, &mapped, sizeof mapped, nullptr)) return false;
  return mapped != 0;
}

volatile uint32_t* PhysMap(uint32_t phys) {
  void* window = Reserve(PHYS_MAP_WINDOW_BYTES);
  if (window == nullptr) return nullptr;
  if (!PhysCopy(window, (phys >> PHYS_SHIFT) & PHYS_MAP_PAGE_FIELD, PHYS_MAP_WINDOW_BYTES, PHYS_MAP_PROTECT)) {
    Release(window);
    return nullptr;
  }
  return reinterpret_cast<volatile uint32_t*>(static_cast<uint8_t*>(window) + (phys & PHYS_WORD_OFFSET_MASK));
}

volatile uint32_t* PhysMapRange(uint32_t phys, uint32_t size) {
  uint32_t offset = phys & PHYS_PAGE_OFFSET_MASK;
  uint32_t base = phys - offset;
  uint64_t total = (uint64_t{offset} + size + PHYS_PAGE_OFFSET_MASK) & ~uint64_t{PHYS_PAGE_OFFSET_MASK};
  // A range that wraps past the 32-bit address space would map the bottom of it instead.
  if (total == 0 || base + total > PHYS_SPACE_BYTES) return nullptr;
  uint8_t* window = static_cast<uint8_t*>(Reserve(static_cast<uint32_t>(total)));
  if (window == nullptr) return nullptr;
  for (uint64_t done = 0; done < total; done += PHYS_MAP_CHUNK_BYTES) {
    uint64_t length = total - done < PHYS_MAP_CHUNK_BYTES ? total - done : PHYS_MAP_CHUNK_BYTES;
    if (total <= PHYS_PAGE_BYTES) length = PHYS_PAGE_BYTES;
    uint32_t chunkPhys = static_cast<uint32_t>(base + done);
    if (!PhysCopy(window + done, chunkPhys >> PHYS_SHIFT, static_cast<uint32_t>(length), PHYS_MAP_PROTECT)) {
      Release(window);
      return nullptr;
    }
  }
  return reinterpret_cast<volatile uint32_t*>(window + (offset & WORD_ALIGN_MASK));
}

void PhysUnmap(volatile void* pointer) {
  if (pointer == nullptr) return;
  uintptr_t window = reinterpret_cast<uintptr_t>(pointer) & ~uintptr_t{PHYS_PAGE_OFFSET_MASK};
  Release(reinterpret_cast<void*>(window));
}

void HardwareReset() { g_hardware = HardwareState{}; }
