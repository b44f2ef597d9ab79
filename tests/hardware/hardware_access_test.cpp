#include <fcntl.h>
#include <unistd.h>

#include "tests/hardware/hardware_fixture.h"

namespace {

PhysWindowInfo WindowOf(volatile const void* p) {
  PhysWindowInfo info;
  EXPECT_TRUE(MemoryFindWindow(p, &info));
  return info;
}

uintptr_t Address(volatile const void* p) { return reinterpret_cast<uintptr_t>(p); }

using HardwareAccessTest = HardwareTest;
using HardwareAccessDeathTest = HardwareTest;

TEST_F(HardwareAccessTest, PhysMapGivesTheRegisterInATwoPageWindow) {
  volatile uint32_t* reg = PhysMap(0x40A00010);
  ASSERT_NE(reg, nullptr);
  PhysWindowInfo w = WindowOf(reg);
  EXPECT_EQ(w.phys, 0x40A00000u);
  EXPECT_EQ(w.bytes, 0x2000u);
  EXPECT_TRUE(w.writable);
  EXPECT_EQ(Address(reg), w.virt + 0x10);

  // A register in the upper half of its page: the window still starts at that page.
  volatile uint32_t* high = PhysMap(0x40E00FFC);
  ASSERT_NE(high, nullptr);
  EXPECT_EQ(WindowOf(high).phys, 0x40E00000u);
  EXPECT_EQ(Address(high), WindowOf(high).virt + 0xFFC);

  PhysUnmap(reg);
  PhysUnmap(high);
  EXPECT_EQ(MemoryWindowCount(), 0u);
  EXPECT_EQ(MemoryReservationCount(), 0u);
}

TEST_F(HardwareAccessTest, PhysMapRangeMapsWholePagesInChunks) {
  volatile uint32_t* flash = PhysMapRange(0, 0x4000000);
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(Requests(KERNEL_REQUEST_MAP), 2u);
  PhysWindowInfo first = WindowOf(flash);
  PhysWindowInfo second = WindowOf(reinterpret_cast<volatile const char*>(flash) + 0x2000000);
  EXPECT_EQ(first.virt, Address(flash));
  EXPECT_EQ(first.bytes, 0x2000000u);
  EXPECT_EQ(second.phys, 0x2000000u);
  EXPECT_EQ(second.bytes, 0x2000000u);
  PhysUnmap(flash);

  volatile uint32_t* small = PhysMapRange(0x100, 0x10);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(Requests(KERNEL_REQUEST_MAP), 3u);
  PhysWindowInfo page = WindowOf(small);
  EXPECT_EQ(page.phys, 0u);
  EXPECT_EQ(page.bytes, 0x1000u);
  EXPECT_EQ(Address(small), page.virt + 0x100);

  // An unaligned start is rounded down to its word; a range crossing a page boundary takes both pages.
  volatile uint32_t* odd = PhysMapRange(0x43100FFE, 4);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(Address(odd), WindowOf(odd).virt + 0xFFC);
  EXPECT_EQ(WindowOf(odd).bytes, 0x2000u);
}

TEST_F(HardwareAccessTest, FailedMappingsLeaveNothingBehind) {
  EXPECT_EQ(PhysMapRange(0xFFFFF000, 0x2000), nullptr);  // would wrap to physical 0
  EXPECT_EQ(PhysMapRange(0, 0), nullptr);
  EXPECT_EQ(PhysMapRange(0xFE000000, 0x2000000 + 0x1000), nullptr);
  EXPECT_EQ(MemoryReservationCount(), 0u);
  EXPECT_EQ(MemoryWindowCount(), 0u);
}

TEST_F(HardwareAccessTest, UserModeGoesThroughTheKernelAndQueriesTheBoardOnce) {
  ASSERT_FALSE(InPrivilegedMode());
  EXPECT_EQ(CpuPartCode(), 17u);
  EXPECT_EQ(Requests(KERNEL_REQUEST_CALL), 1u);
  EXPECT_FALSE(InPrivilegedMode());  // the kernel's privilege ends with the call

  EXPECT_EQ(Requests(KERNEL_REQUEST_QUERY), 0u);  // only a mapping asks for it
  volatile uint32_t* a = PhysMap(0x40A00010);
  volatile uint32_t* b = PhysMapRange(0, 0x1000);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  PhysUnmap(a);
  EXPECT_NE(PhysMap(0x40A00010), nullptr);
  EXPECT_EQ(Requests(KERNEL_REQUEST_QUERY), 1u);
  EXPECT_EQ(Requests(KERNEL_REQUEST_MAP), 3u);

  EXPECT_EQ(KernelCall(nullptr, 5), 0u);
  EXPECT_EQ(Requests(KERNEL_REQUEST_CALL), 1u);
}

DWORD TwiceIfPrivileged(uintptr_t argument) { return InPrivilegedMode() ? static_cast<DWORD>(argument * 2) : 0; }

TEST_F(HardwareAccessTest, KernelCallRunsTheFunctionPrivileged) {
  EXPECT_EQ(KernelCall(TwiceIfPrivileged, 21), 42u);
  EXPECT_EQ(TwiceIfPrivileged(21), 0u);
}

TEST_F(HardwareAccessTest, PrivilegedProgramsNeverAskTheKernel) {
  SetModuleSetting(dir_, "board.cpu_privileged", "true");
  ASSERT_TRUE(InPrivilegedMode());
  EXPECT_EQ(CpuPartCode(), 17u);
  volatile uint32_t* reg = PhysMap(0x40A00010);
  ASSERT_NE(reg, nullptr);
  EXPECT_EQ(WindowOf(reg).phys, 0x40A00000u);
  EXPECT_NE(PhysMapRange(0, 0x2000000), nullptr);
  for (DWORD request : {KERNEL_REQUEST_CALL, KERNEL_REQUEST_MAP, KERNEL_REQUEST_QUERY}) {
    EXPECT_EQ(Requests(request), 0u) << request;
  }
}

TEST_F(HardwareAccessTest, PartCodeFollowsTheBoard) {
  for (const char* part : {"2", "8", "9"}) {
    SetModuleSetting(dir_, "board.cpu_part_code", part);
    EXPECT_EQ(CpuPartCode(), static_cast<uint32_t>(std::stoul(part)));
  }
}

TEST_F(HardwareAccessTest, TheFlashReadsThroughItsWindow) {
  // Bytes the test puts into the image, read back through the NOR model.
  const uint8_t pattern[8] = {0x11, 0x22, 0x33, 0x44, 0xA5, 0x5A, 0x0F, 0xF0};
  int fd = ::open(ModuleFlashPath(dir_).c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, pattern, sizeof pattern, 0x1000000), static_cast<ssize_t>(sizeof pattern));
  ::close(fd);

  volatile uint32_t* flash = PhysMapRange(0, 0x2000000);
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(READ_REGISTER_ULONG(flash + 0x1000000 / 4), 0x44332211u);
  uint32_t words[2] = {};
  READ_REGISTER_BUFFER_ULONG(flash + 0x1000000 / 4, words, 2);
  EXPECT_EQ(words[1], 0xF00F5AA5u);
  // Past the flash pair the bus is open.
  volatile uint32_t* beyond = PhysMap(0x2000000);
  ASSERT_NE(beyond, nullptr);
  EXPECT_EQ(READ_REGISTER_ULONG(beyond), 0xFFFFFFFFu);
}

TEST_F(HardwareAccessDeathTest, ReadingTheMainIdInUserModeIsAnUndefinedInstruction) {
  EXPECT_DEATH(CpuReadMainId(), "undefined instruction: coprocessor 15");
}

TEST_F(HardwareAccessDeathTest, ADirectDereferenceOfAMappedRegisterFaults) {
  volatile uint32_t* reg = PhysMap(0x40A00010);
  ASSERT_NE(reg, nullptr);
  EXPECT_DEATH(*reg = 1, "");
}

}  // namespace
