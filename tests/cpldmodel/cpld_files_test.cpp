// The vendor's programming files played on the CPLD model: identification,
// erase, blank check, and erase, program and verify of a design.
#include <gtest/gtest.h>

#include "tests/cpldmodel/cpld_fixture.h"

namespace {

constexpr char kIdcodeFile[] = "xc2c64a-idcode.xsvf";
constexpr char kEraseFile[] = "xc2c64a-erase.xsvf";
constexpr char kBlankFile[] = "xc2c64a-blank-check.xsvf";
constexpr char kLedFile[] = "xc2c64a-light-led.xsvf";
constexpr uint8_t kXSir = 0x02;
constexpr uint8_t kXSdrTdo = 0x09;
constexpr uint8_t kXWait = 0x17;
constexpr uint8_t kXTdoMask = 0x01;

TEST_F(CpldTest, FilesPassInTheOrderAProgrammerRunsThem) {
  Open();
  EXPECT_TRUE(Play(kIdcodeFile).ok);
  XsvfOutcome blank = Play(kBlankFile);
  EXPECT_FALSE(blank.ok) << "the factory firmware is no blank device";
  EXPECT_TRUE(Play(kEraseFile).ok);
  EXPECT_TRUE(CpldArrayBlank(CpldModelArray(model_)));
  blank = Play(kBlankFile);
  EXPECT_TRUE(blank.ok) << blank.error;
  XsvfOutcome led = Play(kLedFile);
  ASSERT_TRUE(led.ok) << led.error;
  EXPECT_TRUE(CpldArrayDone(CpldModelArray(model_)));
  EXPECT_FALSE(CpldModelInIscMode(model_));
  EXPECT_EQ(ScanInstruction(Driver(), kTapInstrUsercode, 32).dr, 0xFFFFFFFFu) << "the design sets no user code";
  EXPECT_FALSE(Play(kBlankFile).ok);
  CpldCounters c = CpldModelCounters(model_);
  EXPECT_EQ(c.unknownAddresses, 0u);
  EXPECT_EQ(c.refused, 0u);
}

// The verify part of the design's file, cut into one stream per row: ISC
// mode and ISC_READ as the file enters them, then the row's address shift
// and read, taken byte for byte from the file.
struct RowVerify {
  std::vector<uint8_t> stream;
  uint32_t address = 0;
  uint32_t maskedOff = 0;  // bits of the read its mask leaves out
};

std::vector<RowVerify> VerifyPerRow(const std::vector<uint8_t>& file) {
  std::vector<XsvfCommand> commands = XsvfSplit(file);
  auto IsSir = [&](const XsvfCommand& c, uint8_t instruction) {
    return c.code == kXSir && c.bytes == 3 && file[c.offset + 2] == instruction;
  };
  auto Append = [&](std::vector<uint8_t>* to, const XsvfCommand& c) {
    to->insert(to->end(), file.begin() + static_cast<std::ptrdiff_t>(c.offset),
               file.begin() + static_cast<std::ptrdiff_t>(c.offset + c.bytes));
  };
  size_t read = 0;
  while (read < commands.size() && !IsSir(commands[read], kCpldIscRead)) read++;
  size_t enable = read;
  while (enable > 0 && !IsSir(commands[enable - 1], kCpldIscDisable)) enable--;
  std::vector<uint8_t> head;
  for (size_t i = enable; i <= read && i < commands.size(); i++) Append(&head, commands[i]);

  std::vector<RowVerify> rows;
  RowVerify row{head};
  bool readDone = false;
  for (size_t i = read + 1; i < commands.size() && !IsSir(commands[i], kCpldIscInit); i++) {
    const XsvfCommand& c = commands[i];
    if (readDone && c.code != kXWait) {
      row.stream.push_back(0);  // XCOMPLETE
      rows.push_back(row);
      row = RowVerify{head};
      readDone = false;
    }
    Append(&row.stream, c);
    if (c.code == kXSdrTdo && c.sdrBits == kCpldAddressBits) row.address = file[c.offset + 1];
    if (c.code == kXTdoMask && c.sdrBits == kCpldRowBits) {
      for (size_t b = 0; b < kCpldRowBits; b++) {
        row.maskedOff += ((file[c.offset + c.bytes - 1 - b / 8] >> (b % 8)) & 1) == 0;
      }
    }
    if (c.code == kXSdrTdo && c.sdrBits == kCpldRowBits) readDone = true;
  }
  if (readDone) {
    row.stream.push_back(0);
    rows.push_back(row);
  }
  return rows;
}

// Any bit the design's verify looks at, flipped in the programmed array,
// fails the verify: per row, the flips that pass are exactly as many as the
// bits the file's mask leaves out.
TEST_F(CpldTest, EveryFlippedBitFailsTheVerifyWhereTheFileLooks) {
  Open();
  ASSERT_TRUE(Play(kLedFile).ok);
  const CpldArray programmed = CpldModelArray(model_);
  std::vector<RowVerify> verify = VerifyPerRow(XsvfFile(kLedFile));
  ASSERT_EQ(verify.size(), kCpldRows);
  std::vector<bool> seen(kCpldRows);
  for (const RowVerify& v : verify) {
    uint32_t row = 0;
    ASSERT_TRUE(CpldRowOfAddress(v.address, &row)) << v.address;
    EXPECT_FALSE(seen[row]) << "two reads of row " << row;
    seen[row] = true;
    CpldModelSetArray(model_, programmed);
    ASSERT_TRUE(XsvfPlay(v.stream, Driver()).ok) << "row " << row;
    uint32_t passed = 0;
    for (uint32_t bit = 0; bit < kCpldRowBits; bit++) {
      CpldArray flipped = programmed;
      CpldArraySetBit(&flipped, row, bit, !CpldArrayBit(programmed, row, bit));
      CpldModelSetArray(model_, flipped);
      passed += XsvfPlay(v.stream, Driver()).ok;
    }
    EXPECT_EQ(passed, v.maskedOff) << "row " << row << " at address 0x" << std::hex << v.address;
  }
}

TEST_F(CpldTest, ProgramFaultLeavesTheArrayErasedAndTheVerifyFails) {
  config_.faultCpldProgramFails = true;
  Open();
  XsvfOutcome led = Play(kLedFile);
  EXPECT_FALSE(led.ok);
  EXPECT_NE(led.error.find("TDO"), std::string::npos) << led.error;
  EXPECT_TRUE(CpldArrayBlank(CpldModelArray(model_)));
}

TEST_F(CpldTest, EraseOutsideIscModeChangesNothing) {
  Open();
  std::string before = CpldArrayDigest(CpldModelArray(model_));
  ScanInstruction(Driver(), kCpldIscErase, kCpldIscDefaultBits);
  EXPECT_EQ(CpldArrayDigest(CpldModelArray(model_)), before);
  EXPECT_EQ(CpldModelCounters(model_).refused, 1u);
}

}  // namespace
