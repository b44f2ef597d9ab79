#include "module/phys_bus.h"

#include <gtest/gtest.h>

#include <vector>


namespace {

// A word-addressed RAM that counts how it was reached.
struct Ram {
  std::vector<uint32_t> words;
  int wordReads = 0;
  int blockReads = 0;
};

uint32_t RamRead(void* d, uint32_t offset) {
  auto* ram = static_cast<Ram*>(d);
  ram->wordReads++;
  return ram->words[offset / 4];
}
void RamWrite(void* d, uint32_t offset, uint32_t value) { static_cast<Ram*>(d)->words[offset / 4] = value; }
void RamReadWords(void* d, uint32_t offset, uint32_t* out, size_t count) {
  auto* ram = static_cast<Ram*>(d);
  ram->blockReads++;
  for (size_t i = 0; i < count; i++) out[i] = ram->words[offset / 4 + i];
}

const BusDeviceOps kRamOps{RamRead, RamWrite, RamReadWords};

Ram MakeRam(size_t words, uint32_t fill) { return Ram{std::vector<uint32_t>(words, fill)}; }

TEST(PhysBus, AttachKeepsRangesApart) {
  PhysBus bus;
  Ram a = MakeRam(4, 0), b = MakeRam(4, 0);
  std::string error;
  ASSERT_TRUE(PhysBusAttach(&bus, {"b", 0x2000, 0x10, &kRamOps, &b}, &error)) << error;
  ASSERT_TRUE(PhysBusAttach(&bus, {"a", 0x1000, 0x10, &kRamOps, &a}, &error)) << error;
  ASSERT_EQ(bus.ranges.size(), 2u);
  EXPECT_EQ(bus.ranges[0].base, 0x1000u);  // kept sorted whatever the attach order

  EXPECT_FALSE(PhysBusAttach(&bus, {"x", 0x1FF0, 0x20, &kRamOps, &a}, &error));  // runs into b
  EXPECT_NE(error.find("overlaps b"), std::string::npos) << error;
  EXPECT_FALSE(PhysBusAttach(&bus, {"x", 0x100C, 0x4, &kRamOps, &a}, &error));       // inside a
  EXPECT_FALSE(PhysBusAttach(&bus, {"x", 0xFFFFFFF0, 0x20, &kRamOps, &a}, &error));  // wraps
  EXPECT_FALSE(PhysBusAttach(&bus, {"x", 0x3000, 0, &kRamOps, &a}, &error));
  EXPECT_TRUE(PhysBusAttach(&bus, {"top", 0xFFFFFFF0, 0x10, &kRamOps, &a}, &error)) << error;
  EXPECT_TRUE(PhysBusAttach(&bus, {"gap", 0x1010, 0xFF0, &kRamOps, &a}, &error)) << error;  // exactly between
  EXPECT_EQ(bus.ranges.size(), 4u);
}

TEST(PhysBus, AccessesReachTheOwningDeviceAtItsOffset) {
  PhysBus bus;
  Ram a = MakeRam(4, 0xA0), b = MakeRam(4, 0xB0);
  std::string error;
  ASSERT_TRUE(PhysBusAttach(&bus, {"a", 0x1000, 0x10, &kRamOps, &a}, &error));
  ASSERT_TRUE(PhysBusAttach(&bus, {"b", 0x2000, 0x10, &kRamOps, &b}, &error));

  // Alternating between devices must not let the remembered device answer for the other.
  PhysBusWrite32(&bus, 0x1004, 1);
  PhysBusWrite32(&bus, 0x200C, 2);
  PhysBusWrite32(&bus, 0x1008, 3);
  EXPECT_EQ(a.words, (std::vector<uint32_t>{0xA0, 1, 3, 0xA0}));
  EXPECT_EQ(b.words, (std::vector<uint32_t>{0xB0, 0xB0, 0xB0, 2}));
  EXPECT_EQ(PhysBusRead32(&bus, 0x200C), 2u);
  EXPECT_EQ(PhysBusRead32(&bus, 0x1004), 1u);

  // Between and beyond the devices the bus is open: all ones, writes lost.
  EXPECT_EQ(PhysBusRead32(&bus, 0x1010), 0xFFFFFFFFu);
  EXPECT_EQ(PhysBusRead32(&bus, 0x0FFC), 0xFFFFFFFFu);
  PhysBusWrite32(&bus, 0x1FFC, 9);
  EXPECT_EQ(PhysBusFind(&bus, 0x1FFC), nullptr);
}

TEST(PhysBus, BlockReadsUseTheDeviceOnlyWhenItHoldsTheWholeRun) {
  PhysBus bus;
  Ram a = MakeRam(4, 0);
  for (uint32_t i = 0; i < 4; i++) a.words[i] = 0x10 + i;
  std::string error;
  ASSERT_TRUE(PhysBusAttach(&bus, {"a", 0x1000, 0x10, &kRamOps, &a}, &error));

  uint32_t out[6] = {};
  PhysBusReadWords(&bus, 0x1004, out, 3);
  EXPECT_EQ(a.blockReads, 1);
  EXPECT_EQ(out[0], 0x11u);
  EXPECT_EQ(out[2], 0x13u);

  // A run that leaves the device: the words past its end read as open bus.
  PhysBusReadWords(&bus, 0x1008, out, 4);
  EXPECT_EQ(a.blockReads, 1);
  EXPECT_EQ(out[1], 0x13u);
  EXPECT_EQ(out[2], 0xFFFFFFFFu);
  EXPECT_EQ(out[3], 0xFFFFFFFFu);
}

int g_blockWrites = 0;
void RamWriteWords(void* d, uint32_t offset, const uint32_t* in, size_t count) {
  g_blockWrites++;
  for (size_t i = 0; i < count; i++) RamWrite(d, offset + 4 * static_cast<uint32_t>(i), in[i]);
}
const BusDeviceOps kRamRunOps{RamRead, RamWrite, RamReadWords, RamWriteWords};

TEST(PhysBus, BlockWritesUseTheDeviceOnlyWhenItHoldsTheWholeRunAndNothingIsTraced) {
  PhysBus bus;
  Ram a = MakeRam(4, 0), b = MakeRam(4, 0);
  std::string error;
  ASSERT_TRUE(PhysBusAttach(&bus, {"a", 0x1000, 0x10, &kRamRunOps, &a}, &error));
  ASSERT_TRUE(PhysBusAttach(&bus, {"b", 0x1010, 0x10, &kRamRunOps, &b}, &error));
  const uint32_t in[4] = {1, 2, 3, 4};
  g_blockWrites = 0;
  PhysBusWriteWords(&bus, 0x1004, in, 3);
  EXPECT_EQ(g_blockWrites, 1);
  EXPECT_EQ(a.words, (std::vector<uint32_t>{0, 1, 2, 3}));

  // Across two devices, each gets its own words.
  PhysBusWriteWords(&bus, 0x1008, in, 4);
  EXPECT_EQ(g_blockWrites, 1);
  EXPECT_EQ(a.words, (std::vector<uint32_t>{0, 1, 1, 2}));
  EXPECT_EQ(b.words, (std::vector<uint32_t>{3, 4, 0, 0}));

  // Traced, every word shows on its own.
  bus.tracing = true;
  PhysBusWriteWords(&bus, 0x1018, in, 2);
  EXPECT_EQ(g_blockWrites, 1);
  ASSERT_EQ(bus.trace.size(), 2u);
  EXPECT_EQ(bus.trace[1].address, 0x101Cu);
  EXPECT_EQ(bus.trace[1].value, 2u);
}

TEST(PhysBus, TraceNamesDeviceDirectionAddressAndValue) {
  PhysBus bus;
  Ram a = MakeRam(4, 0x55);
  std::string error;
  ASSERT_TRUE(PhysBusAttach(&bus, {"a", 0x1000, 0x10, &kRamOps, &a}, &error));
  PhysBusRead32(&bus, 0x1000);  // not traced: tracing is off
  bus.tracing = true;
  PhysBusWrite32(&bus, 0x1004, 7);
  PhysBusRead32(&bus, 0x5000);
  uint32_t out[2];
  PhysBusReadWords(&bus, 0x1004, out, 2);

  ASSERT_EQ(bus.trace.size(), 4u);
  EXPECT_STREQ(bus.trace[0].device, "a");
  EXPECT_TRUE(bus.trace[0].write);
  EXPECT_EQ(bus.trace[0].address, 0x1004u);
  EXPECT_EQ(bus.trace[0].value, 7u);
  EXPECT_EQ(bus.trace[1].device, nullptr);
  EXPECT_FALSE(bus.trace[1].write);
  EXPECT_EQ(bus.trace[1].value, 0xFFFFFFFFu);
  EXPECT_EQ(bus.trace[3].address, 0x1008u);
  EXPECT_EQ(bus.trace[3].value, 0x55u);
}

}  // namespace
