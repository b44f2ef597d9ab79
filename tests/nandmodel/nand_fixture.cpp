#include "tests/nandmodel/nand_fixture.h"

#include <sys/stat.h>

#include "module/nand_array.h"
#include "tests/support/temp_module.h"

namespace {

constexpr uint32_t kControl = 0x00;
constexpr uint32_t kTiming0 = 0x04;
constexpr uint32_t kTiming1 = 0x0C;
constexpr uint32_t kStatus = 0x14;
constexpr uint32_t kData = 0x40;
constexpr uint32_t kCommand = 0x48;
constexpr uint32_t kAllStatus = 0xFFF;
constexpr uint32_t kEndOfCommand = 0x1F0;
constexpr uint32_t kPolls = 1400002;
constexpr uint32_t kPageShift = 16;
constexpr uint64_t kDiskBlockBytes = 512;
// What the driver computes for these chips at 156 MHz.
constexpr uint32_t kSaneTiming0 = 0x0023090B;
constexpr uint32_t kSaneTiming1 = 0x0F4E0091;

}  // namespace

Bytes PagePattern(uint32_t page, uint32_t bytes) {
  Bytes data(bytes);
  for (uint32_t i = 0; i < bytes; i++) data[i] = static_cast<uint8_t>(page * 131 + i * 7 + (i >> 8) + 0x3C);
  return data;
}

uint32_t SpareBytes(uint32_t control) {
  if ((control & kSpareOn) == 0) return 0;
  return (control & kEccOn) != 0 ? 40 : 64;
}

uint32_t BitsApart(const Bytes& a, const Bytes& b) {
  uint32_t bits = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); i++) bits += __builtin_popcount(a[i] ^ b[i]);
  return bits;
}

NandTest::NandTest() {
  ModuleConfigForBoard("nand", &config_);
  config_.nandFactoryBad.clear();
}

void NandTest::TearDown() { Close(); }

void NandTest::Open() {
  dir_ = MakeTempDir("nandmodel");
  path_ = dir_ + "/flash.img";
  shm_ = dir_ + "/shm";
  ASSERT_EQ(::mkdir(shm_.c_str(), 0755), 0);
  std::string error;
  ASSERT_TRUE(NandArrayCreate(path_, NandChipTypeOf(config_.nandChipId), &error)) << error;
  Reopen();
  control_ = NandModelChip(model_)->controlBits | 0xFFF;
  SetReg(kTiming0, kSaneTiming0);
  SetReg(kTiming1, kSaneTiming1);
  SetReg(kControl, control_);
}

void NandTest::Reopen() {
  Close();
  std::string error;
  model_ = NandModelOpen(path_, shm_, config_, &error);
  ASSERT_NE(model_, nullptr) << error;
}

void NandTest::Close() {
  NandModelClose(model_);
  model_ = nullptr;
}

uint32_t NandTest::Reg(uint32_t offset) { return NandModelBusOps()->read32(model_, offset); }
void NandTest::SetReg(uint32_t offset, uint32_t value) { NandModelBusOps()->write32(model_, offset, value); }

uint32_t NandTest::Wait(uint32_t mask) {
  for (uint32_t i = 0; i < kPolls; i++) {
    uint32_t status = Reg(kStatus);
    if ((status & mask) != 0) return status;
  }
  return kTimedOut;
}

bool NandTest::Issue(uint32_t command, uint32_t address1, uint32_t address2) {
  SetReg(kStatus, kAllStatus);
  SetReg(kControl, control_ | kRun);
  if (Wait(kWanted) == kTimedOut) return false;
  SetReg(kCommand, command);
  SetReg(kCommand, address1);
  SetReg(kCommand, address2);
  return true;
}

uint32_t NandTest::Finish() {
  if (Wait(kChipReady) == kTimedOut) return kTimedOut;
  return Wait(kEndOfCommand);
}

uint32_t NandTest::ReadPage(uint32_t page, Bytes* data, Bytes* spare, uint32_t command) {
  if (!Issue(command, page << kPageShift, page >> kPageShift)) return kTimedOut;
  if (Wait(kReadWaiting) == kTimedOut) return kTimedOut;
  data->resize(kPageBytes);
  for (uint32_t i = 0; i < kPageBytes; i += 4) {
    uint32_t word = Reg(kData);
    for (uint32_t b = 0; b < 4; b++) (*data)[i + b] = static_cast<uint8_t>(word >> (8 * b));
  }
  spare->clear();
  for (uint32_t i = 0; i < SpareBytes(control_); i += 4) {
    uint32_t word = Reg(kData);
    for (uint32_t b = 0; b < 4; b++) spare->push_back(static_cast<uint8_t>(word >> (8 * b)));
  }
  return Finish();
}

uint32_t NandTest::ProgramPage(uint32_t page, const Bytes& data, const Bytes& spare, uint32_t command) {
  if (!Issue(command, page << kPageShift, page >> kPageShift)) return kTimedOut;
  if (Wait(kWriteWanted) == kTimedOut) return kTimedOut;
  Bytes all = data;
  all.resize(kPageBytes, 0xFF);
  for (uint32_t i = 0; i < SpareBytes(control_); i++) all.push_back(i < spare.size() ? spare[i] : 0xFF);
  for (size_t i = 0; i < all.size(); i += 4) {
    SetReg(kData, uint32_t{all[i]} | uint32_t{all[i + 1]} << 8 | uint32_t{all[i + 2]} << 16 |
                      uint32_t{all[i + 3]} << 24);
  }
  return Finish();
}

uint32_t NandTest::EraseBlock(uint32_t block, uint32_t command) {
  if (!Issue(command, block * kPagesPerBlock, 0)) return kTimedOut;
  return Finish();
}

namespace {

// Calls `use` with flash.img mapped on its own.
template <typename Use>
void WithArray(const std::string& path, const ModuleConfig& config, Use use) {
  NandArray array;
  std::string error;
  EXPECT_TRUE(NandArrayOpen(path, NandChipTypeOf(config.nandChipId), &array, &error)) << error;
  if (array.bytes != nullptr) use(&array);
  NandArrayClose(&array);
}

}  // namespace

Bytes NandTest::Cells(uint32_t page) {
  Bytes record(kRecordBytes);
  WithArray(path_, config_, [&](NandArray* a) { NandArrayRead(a, page, 0, record.data(), kRecordBytes); });
  return record;
}

void NandTest::SetCells(uint32_t page, const Bytes& data) {
  WithArray(path_, config_, [&](NandArray* a) {
    NandArrayProgram(a, page, 0, data.data(), static_cast<uint32_t>(data.size()));
  });
}

Bytes NandTest::CellData(uint32_t page) {
  Bytes record = Cells(page);
  record.resize(kPageBytes);
  return record;
}

uint64_t NandTest::DiskBytes() {
  struct stat st;
  EXPECT_EQ(::stat(path_.c_str(), &st), 0);
  return static_cast<uint64_t>(st.st_blocks) * kDiskBlockBytes;
}
