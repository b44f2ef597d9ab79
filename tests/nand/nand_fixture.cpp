#include "tests/nand/nand_fixture.h"

#include <cstring>
#include <filesystem>

#include "flash/hardware.h"
#include "flash/nand.h"
#include "flash/nand_bbm.h"
#include "module/module_config.h"
#include "module/module_dir.h"
#include "module/nand_array.h"
#include "platform/file_mapping.h"
#include "platform/handles.h"
#include "platform/hardware_link.h"
#include "platform/platform.h"
#include "tests/support/temp_module.h"

namespace {

constexpr uint8_t kListHeader[] = {0x4E, 0x52};

void ResetProgram() {
  FlashLayerResetForTests();
  NandResetForTests();
  HardwareReset();
}

std::vector<uint8_t> ListPage(const NandBoard& board) {
  std::vector<uint8_t> page(kNandPage, 0xFF);
  if (board.listHeader) std::memcpy(page.data(), kListHeader, sizeof kListHeader);
  size_t at = 4;
  for (const auto& [logical, replacement] : board.list) {
    for (uint16_t field : {logical, replacement}) {
      page[at++] = static_cast<uint8_t>(field);
      page[at++] = static_cast<uint8_t>(field >> 8);
    }
  }
  if (!board.listTerminated) {
    // Every slot to the end taken by a cancelled entry.
    for (; at + 4 <= kNandPage; at += 4) page[at] = page[at + 1] = 0;
  }
  return page;
}

}  // namespace

std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> v(bytes);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < bytes; i++) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

void NandTest::Attach(const NandBoard& board) {
  TearDown();
  dir_ = MakeTempDir("fwnand");
  ASSERT_FALSE(dir_.empty());
  ModuleConfig config;
  std::string error;
  ASSERT_TRUE(ModuleConfigForBoard("nand", &config));
  config.nandChipId = board.chipId;
  config.cpuPartCode = board.partCode;
  config.nandOsDriver = false;  // the controller waits for the program to set it up
  config.nandFactoryBad.clear();
  for (const std::string& s : board.settings) ASSERT_TRUE(ModuleConfigAssign(&config, s, &error)) << error;
  for (const std::string& d : {ModuleShmPath(dir_), ModuleLocksPath(dir_), ModuleRootPath(dir_)}) {
    std::filesystem::create_directories(d);
  }
  ASSERT_TRUE(ModuleConfigSave(ModuleIniPath(dir_), config, &error)) << error;
  const NandChipType* chip = NandChipTypeOf(board.chipId);
  ASSERT_TRUE(NandArrayCreate(ModuleFlashPath(dir_), chip, &error)) << error;
  // Mapped shared, as the model maps it: both see every change at once.
  ASSERT_TRUE(NandArrayOpen(ModuleFlashPath(dir_), chip, &cells_, &error)) << error;
  PutCells(63, ListPage(board));
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
}

void NandTest::AttachAndInit(const NandBoard& board) {
  Attach(board);
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NAND) << "FlashError " << FlashError;
}

void NandTest::ForgetDriver() { ResetProgram(); }

void NandTest::TearDown() {
  ResetProgram();
  PlatformDetachModule();
  NandArrayClose(&cells_);
}

std::vector<uint8_t> NandTest::Cells(uint32_t page, uint32_t length) {
  std::vector<uint8_t> bytes(length);
  NandArrayRead(&cells_, page, 0, bytes.data(), length);
  return bytes;
}

void NandTest::PutCells(uint32_t page, const std::vector<uint8_t>& bytes) {
  NandArrayProgram(&cells_, page, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

namespace {

// The map as any process on the module sees it (read-only view).
std::vector<uint8_t> MapBytes() {
  std::vector<uint8_t> bytes(BBM_MAP_BYTES, 0);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, BBM_MAP_BYTES, BBM_MAP_NAME);
  if (mapping == nullptr) return bytes;
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, BBM_MAP_BYTES);
  if (view != nullptr) {
    std::memcpy(bytes.data(), view, BBM_MAP_BYTES);
    UnmapViewOfFile(view);
  }
  CloseHandle(mapping);
  return bytes;
}

}  // namespace

uint32_t NandTest::MapMagic() {
  std::vector<uint8_t> map = MapBytes();
  return map[0] | map[1] << 8 | map[2] << 16 | static_cast<uint32_t>(map[3]) << 24;
}

uint16_t NandTest::MapEntry(uint32_t block) {
  std::vector<uint8_t> map = MapBytes();
  return static_cast<uint16_t>(map[4 + 2 * block] | map[5 + 2 * block] << 8);
}

std::vector<std::pair<uint16_t, uint16_t>> NandTest::ListInCells() {
  std::vector<uint8_t> page = Cells(63);
  std::vector<std::pair<uint16_t, uint16_t>> entries;
  for (size_t at = 4; at + 4 <= page.size(); at += 4) {
    uint16_t logical = static_cast<uint16_t>(page[at] | page[at + 1] << 8);
    if (logical == 0xFFFF) break;
    entries.emplace_back(logical, static_cast<uint16_t>(page[at + 2] | page[at + 3] << 8));
  }
  return entries;
}

void NandTest::StartTrace() {
  PhysBus& bus = PlatformHardware()->bus;
  bus.trace.clear();
  bus.tracing = true;
}

std::vector<BusTraceEntry> NandTest::Trace() {
  PhysBus& bus = PlatformHardware()->bus;
  std::vector<BusTraceEntry> trace;
  trace.swap(bus.trace);
  bus.tracing = false;
  return trace;
}
