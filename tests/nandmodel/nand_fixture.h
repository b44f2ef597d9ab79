// A NAND controller and chip over a temporary flash.img, driven through the
// controller's registers the way the program's driver drives them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "module/module_config.h"
#include "module/nand_model.h"

// Command words for a chip with 5 page address cycles and 3 erase cycles.
constexpr uint32_t kReadCommand = 0x000D3000;
constexpr uint32_t kProgramCommand = 0x022D1080;
constexpr uint32_t kEraseCommand = 0x024BD060;
constexpr uint32_t kReadIdCommand = 0x00610090;
constexpr uint32_t kResetCommand = 0x00A000FF;
constexpr uint32_t kSecondSelect = 1u << 24;

constexpr uint32_t kRun = 1u << 28;
constexpr uint32_t kEccOn = 1u << 30;
constexpr uint32_t kSpareOn = 1u << 31;

// Status bits.
constexpr uint32_t kWanted = 0x001;
constexpr uint32_t kReadWaiting = 0x002;
constexpr uint32_t kWriteWanted = 0x004;
constexpr uint32_t kCorrected = 0x008;
constexpr uint32_t kUncorrectable = 0x010;
constexpr uint32_t kBadBlock = 0x060;
constexpr uint32_t kDone = 0x100;
constexpr uint32_t kChipReady = 0x800;
// The bits that tell how a command ended.
constexpr uint32_t kEndBits = kDone | kChipReady | kBadBlock | kCorrected | kUncorrectable;
// What a driver gets when a wait runs out of polls.
constexpr uint32_t kTimedOut = 0xDEAD0000;

constexpr uint32_t kPageBytes = 2048;
constexpr uint32_t kRecordBytes = 2112;
constexpr uint32_t kPagesPerBlock = 64;

using Bytes = std::vector<uint8_t>;

// Page data the tests can tell from erased flash and from other pages.
Bytes PagePattern(uint32_t page, uint32_t bytes = kPageBytes);
// Spare bytes a page transfer carries under a control value.
uint32_t SpareBytes(uint32_t control);
// Number of bits in which two equally long buffers differ.
uint32_t BitsApart(const Bytes& a, const Bytes& b);

class NandTest : public ::testing::Test {
 protected:
  NandTest();
  void TearDown() override;

  // Creates an erased flash.img for config_.nandChipId and opens the model
  // with the chip's control bits and sane timings set up.
  void Open();
  void Reopen();
  void Close();

  uint32_t Reg(uint32_t offset);
  void SetReg(uint32_t offset, uint32_t value);
  // Polls status until one of `mask` is set, as the driver does: the status,
  // or kTimedOut after 1,400,002 reads.
  uint32_t Wait(uint32_t mask);

  // Driver steps: clear status, run, wait for the command request, write the
  // three words. False when the controller never asks.
  bool Issue(uint32_t command, uint32_t address1, uint32_t address2);
  // The end of a command: the final status, or kTimedOut.
  uint32_t Finish();

  // The spare bytes the control value asks for travel after the page. Each
  // returns the final status, or kTimedOut.
  uint32_t ReadPage(uint32_t page, Bytes* data, Bytes* spare, uint32_t command = kReadCommand);
  uint32_t ProgramPage(uint32_t page, const Bytes& data, const Bytes& spare, uint32_t command = kProgramCommand);
  uint32_t EraseBlock(uint32_t block, uint32_t command = kEraseCommand);

  // The page record as the cells hold it (data then 64 spare bytes).
  Bytes Cells(uint32_t page);
  Bytes CellData(uint32_t page);  // the data part alone
  // Programs page data straight into the cells, past the chip and its faults.
  void SetCells(uint32_t page, const Bytes& data);
  // Bytes of flash.img on disk.
  uint64_t DiskBytes();

  ModuleConfig config_;
  std::string dir_;
  std::string path_;
  std::string shm_;
  NandModel* model_ = nullptr;
  uint32_t control_ = 0;  // the working control value, without the run bit
};
