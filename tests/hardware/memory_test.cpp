#include <cstring>
#include <vector>

#include "platform/error.h"
#include "tests/hardware/hardware_fixture.h"

namespace {

// Where no model of the module answers.
constexpr uint32_t kFreePhys = 0x4C000000;

// Registers of a device the tests put on the module's bus.
struct Registers {
  std::vector<uint32_t> words = std::vector<uint32_t>(0x2000 / 4, 0);
};
uint32_t RegRead(void* d, uint32_t offset) { return static_cast<Registers*>(d)->words[offset / 4]; }
void RegWrite(void* d, uint32_t offset, uint32_t value) { static_cast<Registers*>(d)->words[offset / 4] = value; }
const BusDeviceOps kRegOps{RegRead, RegWrite, nullptr};

class MemoryTest : public HardwareTest {
 protected:
  void SetUp() override {
    HardwareTest::SetUp();
    std::string error;
    ASSERT_TRUE(PhysBusAttach(&PlatformHardware()->bus, {"regs", kFreePhys, 0x2000, &kRegOps, &regs_}, &error))
        << error;
  }

  // A reserved range attached to `phys`, as the kernel would do it.
  volatile ULONG* Window(uint32_t phys, DWORD bytes, DWORD access = PAGE_READWRITE) {
    void* v = VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS);
    EXPECT_NE(v, nullptr);
    CpuEnterPrivileged();
    BOOL ok = VirtualCopy(v, reinterpret_cast<LPVOID>(uintptr_t{phys >> 8}), bytes, access | PAGE_PHYSICAL);
    CpuLeavePrivileged();
    EXPECT_TRUE(ok) << GetLastError();
    return static_cast<volatile ULONG*>(v);
  }

  Registers regs_;
};

TEST_F(MemoryTest, BufferAccessRunsOnIntoTheNextWindowOfOneMapping) {
  // Two windows side by side, as a large mapping is made.
  auto* v = static_cast<volatile ULONG*>(VirtualAlloc(nullptr, 0x2000, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(v, nullptr);
  CpuEnterPrivileged();
  for (uint32_t half : {0u, 0x1000u}) {
    ASSERT_TRUE(VirtualCopy(const_cast<ULONG*>(v + half / 4), reinterpret_cast<LPVOID>(uintptr_t{(kFreePhys + half) >> 8}),
                            0x1000, PAGE_READWRITE | PAGE_PHYSICAL));
  }
  CpuLeavePrivileged();
  const ULONG in[4] = {1, 2, 3, 4};
  WRITE_REGISTER_BUFFER_ULONG(v + 0x3FE, in, 4);
  EXPECT_EQ(std::vector<uint32_t>(regs_.words.begin() + 0x3FE, regs_.words.begin() + 0x402),
            std::vector<uint32_t>(in, in + 4));
  ULONG out[4] = {};
  READ_REGISTER_BUFFER_ULONG(v + 0x3FE, out, 4);
  EXPECT_EQ(std::memcmp(in, out, sizeof in), 0);
}

using MemoryDeathTest = MemoryTest;

TEST_F(MemoryTest, RegisterAccessReachesTheDeviceAtThePhysicalAddress) {
  volatile ULONG* w = Window(kFreePhys, 0x2000);
  regs_.words[4] = 0x1234;
  EXPECT_EQ(READ_REGISTER_ULONG(w + 4), 0x1234u);
  WRITE_REGISTER_ULONG(w + 0x1000 / 4, 0xCAFE);  // second page of the window
  EXPECT_EQ(regs_.words[0x1000 / 4], 0xCAFEu);

  const ULONG in[3] = {1, 2, 3};
  WRITE_REGISTER_BUFFER_ULONG(w + 8, in, 3);
  EXPECT_EQ(regs_.words[8], 1u);
  EXPECT_EQ(regs_.words[10], 3u);
  ULONG out[3] = {};
  READ_REGISTER_BUFFER_ULONG(w + 8, out, 3);
  EXPECT_EQ(std::memcmp(in, out, sizeof in), 0);

  PhysWindowInfo info;
  ASSERT_TRUE(MemoryFindWindow(w + 100, &info));
  EXPECT_EQ(info.phys, kFreePhys);
  EXPECT_EQ(info.bytes, 0x2000u);
}

TEST_F(MemoryTest, PhysicalCopiesAreForPrivilegedCallersOnly) {
  void* v = VirtualAlloc(nullptr, 0x1000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(v, nullptr);
  LPVOID phys = reinterpret_cast<LPVOID>(uintptr_t{kFreePhys >> 8});
  EXPECT_FALSE(VirtualCopy(v, phys, 0x1000, PAGE_READWRITE | PAGE_PHYSICAL));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(MemoryWindowCount(), 0u);

  SetModuleSetting(dir_, "board.cpu_privileged", "true");
  EXPECT_TRUE(VirtualCopy(v, phys, 0x1000, PAGE_READWRITE | PAGE_PHYSICAL));
}

TEST_F(MemoryTest, PhysicalCopyRefusesWhatItCannotMap) {
  CpuEnterPrivileged();
  char* v = static_cast<char*>(VirtualAlloc(nullptr, 0x4000, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(v, nullptr);
  auto copy = [&](void* dest, uint64_t phys, DWORD size, DWORD protect = PAGE_READWRITE | PAGE_PHYSICAL) {
    return VirtualCopy(dest, reinterpret_cast<LPVOID>(static_cast<uintptr_t>(phys >> 8)), size, protect);
  };
  EXPECT_FALSE(copy(v, kFreePhys, 0x1000, PAGE_READWRITE));  // virtual-to-virtual: not offered
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(copy(v + 0x10, kFreePhys, 0x1000));   // not page aligned
  EXPECT_FALSE(copy(v, kFreePhys + 0x100, 0x1000));  // physical not page aligned
  EXPECT_FALSE(copy(v, 0xFFFFF000, 0x2000));          // past the 32-bit physical space
  EXPECT_FALSE(copy(v, uint64_t{1} << 32, 0x1000));
  EXPECT_FALSE(copy(v + 0x3000, kFreePhys, 0x2000));  // past the reservation
  EXPECT_FALSE(copy(v, kFreePhys, 0));
  EXPECT_FALSE(copy(v, kFreePhys, 0x1000, PAGE_NOACCESS | PAGE_PHYSICAL));
  EXPECT_EQ(MemoryWindowCount(), 0u);

  EXPECT_TRUE(copy(v, kFreePhys, 0x2000));
  EXPECT_FALSE(copy(v + 0x1000, kFreePhys, 0x1000));  // over the window just made
  ASSERT_EQ(VirtualAlloc(v + 0x3000, 0x1000, MEM_COMMIT, PAGE_READWRITE), v + 0x3000);
  EXPECT_FALSE(copy(v + 0x3000, kFreePhys, 0x1000));                                // committed pages
  EXPECT_EQ(VirtualAlloc(v + 0x1000, 0x1000, MEM_COMMIT, PAGE_READWRITE), nullptr);  // inside the window
  EXPECT_EQ(MemoryWindowCount(), 1u);
  CpuLeavePrivileged();
}

TEST_F(MemoryTest, OrdinaryMemoryAndItsRelease) {
  auto* p = static_cast<uint32_t*>(VirtualAlloc(nullptr, 0x3000, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(p, nullptr);
  p[0] = 1;
  p[0x2FFC / 4] = 2;  // the whole rounded range is usable
  EXPECT_TRUE(VirtualFree(p, 0x1000, MEM_DECOMMIT));
  ASSERT_EQ(VirtualAlloc(p, 0x1000, MEM_COMMIT, PAGE_READWRITE), p);
  EXPECT_EQ(p[0], 0u);  // decommitted pages come back fresh
  EXPECT_EQ(p[0x2FFC / 4], 2u);

  EXPECT_FALSE(VirtualFree(p + 0x400, 0, MEM_RELEASE));  // not the reservation's base
  EXPECT_FALSE(VirtualFree(p, 0x1000, MEM_RELEASE));     // release takes size 0
  EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
  EXPECT_EQ(MemoryReservationCount(), 0u);
  EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_RESERVE, PAGE_NOACCESS), nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 0x1000, MEM_RESERVE, 0x40), nullptr);  // an access right not offered
}

TEST_F(MemoryTest, ReleasingAReservationDropsItsWindows) {
  volatile ULONG* w = Window(kFreePhys, 0x2000);
  volatile ULONG* other = Window(kFreePhys, 0x1000);  // two windows onto one device are fine
  EXPECT_EQ(MemoryWindowCount(), 2u);
  EXPECT_TRUE(VirtualFree(const_cast<ULONG*>(w), 0, MEM_RELEASE));
  PhysWindowInfo info;
  EXPECT_FALSE(MemoryFindWindow(w, &info));
  EXPECT_TRUE(MemoryFindWindow(other, &info));
  EXPECT_EQ(MemoryWindowCount(), 1u);
}

TEST_F(MemoryDeathTest, ADirectDereferenceOfAWindowFaults) {
  volatile ULONG* w = Window(kFreePhys, 0x2000);
  EXPECT_DEATH(
      {
        ULONG v = *w;
        (void)v;
      },
      "");
}

TEST_F(MemoryDeathTest, AccessesThatNoWindowServesAbortWithAMessage) {
  volatile ULONG* w = Window(kFreePhys, 0x1000);
  volatile ULONG* readOnly = Window(kFreePhys, 0x1000, PAGE_READONLY);
  ULONG ordinary = 0;
  EXPECT_DEATH(READ_REGISTER_ULONG(&ordinary), "data abort: register read outside every physical window");
  EXPECT_DEATH(WRITE_REGISTER_ULONG(&ordinary, 1), "data abort: register write outside every physical window");
  ULONG buffer[2];
  EXPECT_DEATH(READ_REGISTER_BUFFER_ULONG(w + 0x3FF, buffer, 2), "past the end of its physical window");
  EXPECT_DEATH(WRITE_REGISTER_ULONG(readOnly, 1), "write through a read-only physical window");
  EXPECT_DEATH(READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(reinterpret_cast<volatile char*>(w) + 2)),
               "misaligned");
  // Released windows are gone for good.
  VirtualFree(const_cast<ULONG*>(w), 0, MEM_RELEASE);
  EXPECT_DEATH(READ_REGISTER_ULONG(w), "outside every physical window");
}

}  // namespace
