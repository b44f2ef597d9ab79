#include "tests/flash/flash_fixture.h"

#include "flash/hardware.h"
#include "flash/nand.h"
#include "flash/nor.h"
#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/hardware_link.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "tests/support/temp_module.h"

namespace {

void ResetProgram() {
  FlashLayerResetForTests();
  NorResetForTests();
  NandResetForTests();
  HardwareReset();
  ClockSkipSleepsForTests(false);
}

}  // namespace

void FlashTest::Attach(const std::vector<std::string>& settings) {
  ResetProgram();
  dir_ = AttachTempModuleWith(settings);
  ASSERT_FALSE(dir_.empty());
}

void FlashTest::Reattach(const std::vector<std::string>& settings) {
  ResetProgram();
  PlatformDetachModule();
  std::string error;
  ASSERT_TRUE(ConfigureModule(dir_, settings));
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
}

void FlashTest::TearDown() {
  ResetProgram();
  PlatformDetachModule();
}

void FlashTest::StartTrace() {
  PhysBus& bus = PlatformHardware()->bus;
  bus.trace.clear();
  bus.tracing = true;
}

std::vector<BusTraceEntry> FlashTest::Trace() {
  PhysBus& bus = PlatformHardware()->bus;
  std::vector<BusTraceEntry> trace;
  trace.swap(bus.trace);
  return trace;
}

size_t FlashTest::CountWrites(const std::vector<BusTraceEntry>& trace, uint32_t value) {
  size_t n = 0;
  for (const BusTraceEntry& e : trace) n += e.write && e.value == value;
  return n;
}

std::vector<uint8_t> FlashTest::Image() {
  std::string bytes, error;
  EXPECT_TRUE(ReadWholeFile(ModuleFlashPath(dir_), &bytes, &error)) << error;
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void FlashTest::Program(uint32_t offset, const std::vector<uint32_t>& words) {
  ASSERT_EQ(FlashOps.Write(words.data(), offset, static_cast<uint32_t>(words.size() * 4)), 1u);
}
