#include "platform/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "module/phys_bus.h"
#include "platform/cpu.h"
#include "platform/error.h"
#include "platform/hardware_link.h"

namespace {

constexpr uintptr_t kPageBytes = 0x1000;  // the module's page, whatever the host's
constexpr uint32_t kPhysShift = 8;        // VirtualCopy's physical source is the address >> 8
constexpr uint64_t kPhysSpaceBytes = uint64_t{1} << 32;
constexpr uintptr_t kWordBytes = sizeof(ULONG);

struct Reservation {
  uintptr_t base = 0;
  size_t bytes = 0;             // whole module pages
  size_t hostBytes = 0;         // what was mapped, in host pages
  std::vector<bool> committed;  // per module page
};

struct Window {
  uintptr_t virt = 0;
  size_t bytes = 0;
  uint32_t phys = 0;
  bool writable = false;
};

// One lock for the tables and the bus behind them: the bus serves one access
// at a time, as the real one does.
struct MemoryState {
  std::mutex mutex;
  std::vector<Reservation> reservations;
  std::vector<Window> windows;  // sorted by virt, never overlapping
  size_t lastHit = 0;           // drivers stay in one window for long runs
};

MemoryState g_memory;

uintptr_t PageDown(uintptr_t v) { return v & ~(kPageBytes - 1); }
uint64_t PageUp(uint64_t v) { return (v + kPageBytes - 1) & ~uint64_t{kPageBytes - 1}; }

size_t HostRound(size_t bytes) {
  size_t host = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + host - 1) / host * host;
}

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// Access rights of an allocation; PAGE_NOCACHE means nothing to host memory.
bool AccessOf(DWORD protect, DWORD* access) {
  *access = protect & ~PAGE_NOCACHE;
  return *access == PAGE_NOACCESS || *access == PAGE_READONLY || *access == PAGE_READWRITE;
}

int HostProt(DWORD access) {
  if (access == PAGE_READWRITE) return PROT_READ | PROT_WRITE;
  if (access == PAGE_READONLY) return PROT_READ;
  return PROT_NONE;
}

Reservation* FindReservation(uintptr_t start, uint64_t end) {
  for (Reservation& r : g_memory.reservations) {
    if (start >= r.base && end <= r.base + r.bytes) return &r;
  }
  return nullptr;
}

bool OverlapsWindow(uintptr_t start, uint64_t end) {
  for (const Window& w : g_memory.windows) {
    if (start < w.virt + w.bytes && end > w.virt) return true;
  }
  return false;
}

void DropWindows(uintptr_t start, uint64_t end) {
  auto& ws = g_memory.windows;
  ws.erase(
      std::remove_if(ws.begin(), ws.end(), [&](const Window& w) { return start < w.virt + w.bytes && end > w.virt; }),
      ws.end());
  g_memory.lastHit = 0;
}

void MarkCommitted(Reservation* r, uintptr_t start, uint64_t end, bool committed) {
  for (uint64_t page = start; page < end; page += kPageBytes) r->committed[(page - r->base) / kPageBytes] = committed;
}

LPVOID Reserve(uintptr_t base, uint64_t bytes, DWORD type, DWORD access) {
  int prot = (type & MEM_COMMIT) ? HostProt(access) : PROT_NONE;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (base != 0 ? MAP_FIXED_NOREPLACE : 0);
  size_t hostBytes = HostRound(static_cast<size_t>(bytes));
  void* p = ::mmap(reinterpret_cast<void*>(base), hostBytes, prot, flags, -1, 0);
  if (p == MAP_FAILED) {
    Fail(base != 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Kernels without MAP_FIXED_NOREPLACE take the address as a mere hint.
  if (base != 0 && reinterpret_cast<uintptr_t>(p) != base) {
    ::munmap(p, hostBytes);
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Reservation r;
  r.base = reinterpret_cast<uintptr_t>(p);
  r.bytes = static_cast<size_t>(bytes);
  r.hostBytes = hostBytes;
  r.committed.assign(r.bytes / kPageBytes, (type & MEM_COMMIT) != 0);
  g_memory.reservations.push_back(std::move(r));
  return p;
}

LPVOID CommitInReservation(uintptr_t start, uint64_t end, DWORD access) {
  Reservation* r = FindReservation(start, end);
  if (r == nullptr || OverlapsWindow(start, end)) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (::mprotect(reinterpret_cast<void*>(start), static_cast<size_t>(end - start), HostProt(access)) != 0) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  MarkCommitted(r, start, end, true);
  return reinterpret_cast<LPVOID>(start);
}

[[noreturn]] void DataAbort(const char* what, const volatile void* address) {
  std::fprintf(stderr, "flashwright: data abort: %s at %p\n", what, const_cast<const void*>(address));
  std::abort();
}

constexpr size_t kNoWindow = SIZE_MAX;

// Index of the window that holds `a`; the last hit first, since drivers stay
// in one window for long runs.
size_t FindWindow(uintptr_t a) {
  auto& ws = g_memory.windows;
  auto holds = [&](const Window& w) { return a >= w.virt && a - w.virt < w.bytes; };
  if (g_memory.lastHit < ws.size() && holds(ws[g_memory.lastHit])) return g_memory.lastHit;
  auto at = std::upper_bound(ws.begin(), ws.end(), a, [](uintptr_t v, const Window& w) { return v < w.virt; });
  if (at == ws.begin() || !holds(*(at - 1))) return kNoWindow;
  g_memory.lastHit = static_cast<size_t>(at - 1 - ws.begin());
  return g_memory.lastHit;
}

// The window that holds the whole access, or the process ends.
const Window& Resolve(const volatile void* address, uint64_t bytes, bool write) {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  if (a % kWordBytes != 0) DataAbort("misaligned register access", address);
  size_t index = FindWindow(a);
  if (index == kNoWindow) {
    DataAbort(write ? "register write outside every physical window" : "register read outside every physical window",
              address);
  }
  const Window& w = g_memory.windows[index];
  if (a - w.virt + bytes > w.bytes) DataAbort("register access runs past the end of its physical window", address);
  if (write && !w.writable) DataAbort("register write through a read-only physical window", address);
  return w;
}

PhysBus* Bus() {
  ModuleHardware* hw = PlatformHardware();
  if (hw == nullptr) {
    std::fprintf(stderr, "flashwright: register access with no module attached\n");
    std::abort();
  }
  return &hw->bus;
}

uint32_t PhysOf(const Window& w, const volatile void* address) {
  return w.phys + static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address) - w.virt);
}

// A buffer access may run on from one window into the next one that starts
// where it ends (a large mapping is made of several windows); each run goes
// to its own window's physical addresses, as the page tables would send it.
template <typename Run>
void ForEachWindowRun(volatile ULONG* reg, ULONG count, bool write, Run run) {
  ULONG done = 0;
  while (done < count) {
    volatile ULONG* at = reg + done;
    if (done != 0 && FindWindow(reinterpret_cast<uintptr_t>(at)) == kNoWindow) DataAbort("register access runs past the end of its physical window", at);
    const Window& w = Resolve(at, kWordBytes, write);
    uintptr_t left = (w.virt + w.bytes - reinterpret_cast<uintptr_t>(at)) / kWordBytes;
    ULONG words = static_cast<ULONG>(std::min<uintptr_t>(left, count - done));
    run(w, at, done, words);
    done += words;
  }
}

}  // namespace

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD type, DWORD protect) {
  DWORD access = 0;
  if (size == 0 || (type & ~(MEM_RESERVE | MEM_COMMIT)) != 0 || (type & (MEM_RESERVE | MEM_COMMIT)) == 0 ||
      !AccessOf(protect, &access)) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  uintptr_t start = PageDown(reinterpret_cast<uintptr_t>(address));
  uint64_t end = PageUp(uint64_t{reinterpret_cast<uintptr_t>(address)} + size);
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  if (address == nullptr || (type & MEM_RESERVE) != 0) return Reserve(start, end - start, type, access);
  return CommitInReservation(start, end, access);
}

BOOL VirtualFree(LPVOID address, DWORD size, DWORD type) {
  uintptr_t start = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  if (type == MEM_RELEASE) {
    auto& rs = g_memory.reservations;
    auto it = std::find_if(rs.begin(), rs.end(), [&](const Reservation& r) { return r.base == start; });
    if (size != 0 || it == rs.end()) return Fail(ERROR_INVALID_PARAMETER);
    DropWindows(it->base, uint64_t{it->base} + it->bytes);
    ::munmap(reinterpret_cast<void*>(it->base), it->hostBytes);
    rs.erase(it);
    return TRUE;
  }
  if (type == MEM_DECOMMIT) {
    if (start % kPageBytes != 0) return Fail(ERROR_INVALID_PARAMETER);
    Reservation* r = FindReservation(start, start + 1);
    if (r == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    uint64_t end = size == 0 ? uint64_t{r->base} + r->bytes : PageUp(uint64_t{start} + size);
    if (end > uint64_t{r->base} + r->bytes) return Fail(ERROR_INVALID_PARAMETER);
    DropWindows(start, end);
    void* p = reinterpret_cast<void*>(start);
    size_t bytes = static_cast<size_t>(end - start);
    // Discarded pages come back zeroed when committed again, as fresh pages do.
    ::madvise(p, bytes, MADV_DONTNEED);
    ::mprotect(p, bytes, PROT_NONE);
    MarkCommitted(r, start, end, false);
    return TRUE;
  }
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL VirtualCopy(LPVOID dest, LPVOID src, DWORD size, DWORD protect) {
  if ((protect & PAGE_PHYSICAL) == 0) return Fail(ERROR_NOT_SUPPORTED);
  if (!CpuInPrivilegedMode()) return Fail(ERROR_ACCESS_DENIED);
  DWORD access = protect & ~(PAGE_PHYSICAL | PAGE_NOCACHE);
  if (access != PAGE_READWRITE && access != PAGE_READONLY) return Fail(ERROR_INVALID_PARAMETER);
  uintptr_t start = reinterpret_cast<uintptr_t>(dest);
  uint64_t phys = uint64_t{reinterpret_cast<uintptr_t>(src)} << kPhysShift;
  uint64_t bytes = PageUp(size);
  if (size == 0 || start % kPageBytes != 0 || phys % kPageBytes != 0 || phys + bytes > kPhysSpaceBytes) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  uint64_t end = uint64_t{start} + bytes;
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  Reservation* r = FindReservation(start, end);
  if (r == nullptr || OverlapsWindow(start, end)) return Fail(ERROR_INVALID_PARAMETER);
  for (uint64_t page = start; page < end; page += kPageBytes) {
    if (r->committed[(page - r->base) / kPageBytes]) return Fail(ERROR_INVALID_PARAMETER);
  }
  Window w{start, static_cast<size_t>(bytes), static_cast<uint32_t>(phys), access == PAGE_READWRITE};
  auto& ws = g_memory.windows;
  ws.insert(std::upper_bound(ws.begin(), ws.end(), start, [](uintptr_t v, const Window& x) { return v < x.virt; }), w);
  g_memory.lastHit = 0;
  return TRUE;
}

ULONG READ_REGISTER_ULONG(volatile ULONG* reg) {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  const Window& w = Resolve(reg, kWordBytes, false);
  return PhysBusRead32(Bus(), PhysOf(w, reg));
}

void WRITE_REGISTER_ULONG(volatile ULONG* reg, ULONG value) {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  const Window& w = Resolve(reg, kWordBytes, true);
  PhysBusWrite32(Bus(), PhysOf(w, reg), value);
}

void READ_REGISTER_BUFFER_ULONG(volatile ULONG* reg, ULONG* buffer, ULONG count) {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  PhysBus* bus = Bus();
  ForEachWindowRun(reg, count, false, [&](const Window& w, volatile ULONG* at, ULONG done, ULONG words) {
    PhysBusReadWords(bus, PhysOf(w, at), buffer + done, words);
  });
}

void WRITE_REGISTER_BUFFER_ULONG(volatile ULONG* reg, const ULONG* buffer, ULONG count) {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  PhysBus* bus = Bus();
  ForEachWindowRun(reg, count, true, [&](const Window& w, volatile ULONG* at, ULONG done, ULONG words) {
    PhysBusWriteWords(bus, PhysOf(w, at), buffer + done, words);
  });
}

bool MemoryFindWindow(const volatile void* address, PhysWindowInfo* info) {
  uintptr_t a = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  for (const Window& w : g_memory.windows) {
    if (a >= w.virt && a - w.virt < w.bytes) {
      *info = PhysWindowInfo{w.virt, w.bytes, w.phys, w.writable};
      return true;
    }
  }
  return false;
}

size_t MemoryWindowCount() {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  return g_memory.windows.size();
}

size_t MemoryReservationCount() {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  return g_memory.reservations.size();
}

void MemoryReset() {
  std::lock_guard<std::mutex> lock(g_memory.mutex);
  for (const Reservation& r : g_memory.reservations) ::munmap(reinterpret_cast<void*>(r.base), r.hostBytes);
  g_memory.reservations.clear();
  g_memory.windows.clear();
  g_memory.lastHit = 0;
}
