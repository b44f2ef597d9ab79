#include <gtest/gtest.h>
#include <sys/stat.h>

#include "module/nand_chips.h"
#include "tests/nandmodel/nand_fixture.h"

namespace {

constexpr uint32_t kData = 0x40;
constexpr uint32_t kControl = 0x00;
constexpr uint32_t kTiming0 = 0x04;
constexpr uint32_t kIdViaReadMask = 0x0087DFFF;  // what the driver keeps of the control value
constexpr uint32_t kIdViaReadCommand = 0x00010090;
constexpr uint32_t kIdViaReadWords = 128;

// ---- Identification, both ways the driver asks ----

struct IdCase {
  uint32_t chip;
  bool viaRead;  // a read command with the identification byte, 512-byte pages
};

class NandIdTest : public NandTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(NandIdTest, ChipAnswersItsIdentificationBytes) {
  config_.nandChipId = GetParam().chip;
  Open();
  const uint8_t* id = NandChipTypeOf(GetParam().chip)->idBytes;
  ASSERT_TRUE(Issue(kResetCommand, 0, 0));
  EXPECT_EQ(Finish() & kChipReady, kChipReady);
  std::vector<uint32_t> words;
  if (GetParam().viaRead) {
    control_ &= kIdViaReadMask;
    ASSERT_TRUE(Issue(kIdViaReadCommand, 0, 0));
    ASSERT_NE(Wait(kReadWaiting), kTimedOut);
    for (uint32_t i = 0; i < kIdViaReadWords; i++) words.push_back(Reg(kData));
  } else {
    ASSERT_TRUE(Issue(kReadIdCommand, 0, 0));
    ASSERT_NE(Wait(kReadWaiting), kTimedOut);
    words = {Reg(kData), Reg(kData)};
  }
  EXPECT_NE(Wait(kDone), kTimedOut) << "the data phase did not end the command";
  EXPECT_EQ(words[0] & 0xFFFF, GetParam().chip);
  // The five bytes, then again from the start.
  for (uint32_t i = 0; i < 8; i++) {
    EXPECT_EQ(static_cast<uint8_t>(words[i / 4] >> (8 * (i % 4))), id[i % 5]) << "byte " << i;
  }
  EXPECT_EQ(NandModelCounters(model_).strayAccesses, 0u);
}

INSTANTIATE_TEST_SUITE_P(Chips, NandIdTest,
                         ::testing::Values(IdCase{0xD3EC, false}, IdCase{0xF1EC, false}, IdCase{0xDAEC, false},
                                           IdCase{0xDCEC, false}, IdCase{0xDCAD, false}, IdCase{0xDAEC, true},
                                           IdCase{0xDCAD, true}));

// ---- Page transfers ----

struct TransferCase {
  uint32_t control;  // correction and spare bits
};

class NandTransferTest : public NandTest, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(NandTransferTest, ProgrammedPageReadsBackWithItsSpareBytes) {
  Open();
  control_ |= GetParam().control;
  const uint32_t page = 130;
  Bytes data = PagePattern(page);
  Bytes spare = PagePattern(page + 1, 64);
  uint32_t status = ProgramPage(page, data, spare);
  EXPECT_EQ(status & (kDone | kBadBlock), kDone);
  Bytes readData, readSpare;
  status = ReadPage(page, &readData, &readSpare);
  EXPECT_EQ(status & (kDone | kCorrected | kUncorrectable), kDone);
  EXPECT_EQ(readData, data);
  uint32_t spareBytes = SpareBytes(control_);
  EXPECT_EQ(readSpare, Bytes(spare.begin(), spare.begin() + spareBytes));
  Bytes cells = Cells(page);
  Bytes code(cells.begin() + kPageBytes + 40, cells.end());
  if ((control_ & kEccOn) != 0) {
    EXPECT_NE(code, Bytes(24, 0xFF)) << "no correction code stored";
  } else {
    EXPECT_EQ(code, spareBytes == 64 ? Bytes(spare.begin() + 40, spare.end()) : Bytes(24, 0xFF));
  }
  EXPECT_EQ(Cells(page + 1), Bytes(kRecordBytes, 0xFF)) << "the next page was touched";
}

INSTANTIATE_TEST_SUITE_P(Controls, NandTransferTest,
                         ::testing::Values(TransferCase{0}, TransferCase{kSpareOn}, TransferCase{kEccOn},
                                           TransferCase{kEccOn | kSpareOn}));

TEST_F(NandTest, ProgramOnlyClearsBitsAndEraseKeepsTheBlocksRoom) {
  Open();
  const uint32_t block = 4;
  const uint32_t page = block * kPagesPerBlock + 3;
  ASSERT_EQ(ProgramPage(block * kPagesPerBlock + kPagesPerBlock, PagePattern(1), {}) & kBadBlock, 0u);
  // Every cell has its room from the open on: a full host disk cannot meet a
  // program through the mapping, nor a program after an erase.
  uint64_t room = DiskBytes();
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_GE(room, static_cast<uint64_t>(st.st_size));
  ASSERT_EQ(ProgramPage(page, Bytes(kPageBytes, 0xF0), {}) & kBadBlock, 0u);
  ASSERT_EQ(ProgramPage(page, Bytes(kPageBytes, 0x3C), {}) & kBadBlock, 0u);
  Bytes data, spare;
  ReadPage(page, &data, &spare);
  EXPECT_EQ(data, Bytes(kPageBytes, 0x30));

  EXPECT_EQ(EraseBlock(block) & (kDone | kBadBlock), kDone);
  EXPECT_EQ(Cells(page), Bytes(kRecordBytes, 0xFF));
  EXPECT_EQ(DiskBytes(), room) << "the erased block gave its room back";
  ReadPage(block * kPagesPerBlock + kPagesPerBlock, &data, &spare);
  EXPECT_EQ(data, PagePattern(1)) << "the erase reached the next block";
}

// ---- Error correction ----

struct EccCase {
  const char* name;
  bool twoBits;         // the page is listed as uncorrectable, else correctable
  bool programmedWithEcc;
  bool readWithEcc;
  uint32_t status;      // correction bits at the end of the read
  uint32_t flippedBits; // in the delivered data
};

class NandEccTest : public NandTest, public ::testing::WithParamInterface<EccCase> {};

TEST_P(NandEccTest, WeakPageReadsAsTheCodeAllows) {
  const EccCase& c = GetParam();
  const uint32_t page = 200;
  (c.twoBits ? config_.faultNandUncorrectable : config_.faultNandCorrectable) = "200";
  Open();
  uint32_t plain = control_;
  if (c.programmedWithEcc) control_ |= kEccOn;
  ASSERT_EQ(ProgramPage(page, PagePattern(page), {}) & kBadBlock, 0u);
  control_ = c.readWithEcc ? plain | kEccOn : plain;
  Bytes data, spare;
  uint32_t status = ReadPage(page, &data, &spare);
  EXPECT_EQ(status & (kDone | kCorrected | kUncorrectable), kDone | c.status);
  EXPECT_EQ(BitsApart(data, PagePattern(page)), c.flippedBits);
}

INSTANTIATE_TEST_SUITE_P(Cases, NandEccTest,
                         ::testing::Values(EccCase{"Corrected", false, true, true, kCorrected, 0},
                                           EccCase{"Uncorrectable", true, true, true, kUncorrectable, 2},
                                           EccCase{"PageWithoutCode", false, false, true, kUncorrectable, 1},
                                           EccCase{"CorrectionOff", true, true, false, 0, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// The controller's code over erased data does not match erased code bytes:
// a blank page reads uncorrectable with correction on, and as it is off.
TEST_F(NandTest, BlankPageIsUncorrectableWithCorrectionOn) {
  Open();
  uint32_t plain = control_;
  for (bool ecc : {true, false}) {
    control_ = ecc ? plain | kEccOn : plain;
    Bytes data, spare;
    EXPECT_EQ(ReadPage(300, &data, &spare) & (kCorrected | kUncorrectable), ecc ? kUncorrectable : 0u) << ecc;
    EXPECT_EQ(data, Bytes(kPageBytes, 0xFF)) << ecc;
  }
}

// ---- Chip selects ----

// Each chip select has its own command-done and bad-block bit.
TEST_F(NandTest, CommandsEndWithTheirChipSelectsBits) {
  config_.nandChipId = 0xDCAD;
  config_.faultNandBadBlocks = "7, 0x1007";  // the same block on either die
  Open();
  for (uint32_t select : {0u, kSecondSelect}) {
    uint32_t done = select != 0 ? 0x080u : 0x100u;
    uint32_t bad = select != 0 ? 0x020u : 0x040u;
    EXPECT_EQ(ProgramPage(kPagesPerBlock, PagePattern(1), {}, kProgramCommand | select) & 0x1E0, done) << select;
    EXPECT_EQ(EraseBlock(7, kEraseCommand | select) & 0x1E0, done | bad) << select;
  }
}

TEST_F(NandTest, SecondChipSelectHoldsTheUpperPages) {
  config_.nandChipId = 0xDCAD;
  Open();
  ASSERT_EQ(ProgramPage(0, PagePattern(7), {}, kProgramCommand | kSecondSelect) & kBadBlock, 0u);
  ASSERT_EQ(ProgramPage(0x3FFFF, PagePattern(8), {}) & kBadBlock, 0u);
  EXPECT_EQ(CellData(0x40000), PagePattern(7));
  EXPECT_EQ(CellData(0x3FFFF), PagePattern(8));
  EXPECT_EQ(Cells(0), Bytes(kRecordBytes, 0xFF));
  // The first select's die ends at 0x3FFFF: no wrapping onto page 0.
  Bytes data, spare;
  EXPECT_EQ(ReadPage(0x40000, &data, &spare), kTimedOut);
  EXPECT_EQ(NandModelCounters(model_).refusedCommands, 1u);
}

TEST_F(NandTest, SecondChipSelectWithoutAChipIsRefused) {
  Open();
  EXPECT_EQ(EraseBlock(0, kEraseCommand | kSecondSelect), kTimedOut);
  EXPECT_EQ(NandModelCounters(model_).refusedCommands, 1u);
  EXPECT_EQ(ProgramPage(5, PagePattern(5), {}) & (kDone | kBadBlock), kDone) << "the first select still works";
}

// ---- Wrong sequences ----

TEST_F(NandTest, WrongSequencesLeaveTheFlashAndTheModelSafe) {
  Open();
  const uint32_t page = 70;
  ASSERT_EQ(ProgramPage(page, PagePattern(page), {}) & kBadBlock, 0u);
  // A command type the controller lacks, and a command byte the chip lacks.
  ASSERT_TRUE(Issue(4u << 21, 0, 0));
  EXPECT_EQ(Finish(), kTimedOut);
  Bytes data, spare;
  EXPECT_EQ(ReadPage(page, &data, &spare, 0x000D3085) & kDone, kDone);
  EXPECT_EQ(data, Bytes(kPageBytes, 0xFF));
  // Data nobody asked for, and a program whose data phase is cut short.
  SetReg(kData, 0);
  ASSERT_TRUE(Issue(kProgramCommand, (page + 1) << 16, 0));
  SetReg(kData, 0);
  ReadPage(page, &data, &spare);
  EXPECT_EQ(data, PagePattern(page));
  EXPECT_EQ(Cells(page + 1), Bytes(kRecordBytes, 0xFF));
  NandCounters counters = NandModelCounters(model_);
  EXPECT_EQ(counters.unknownCommands, 3u) << "type 4, byte 0x85 and the 0x30 it left without a read";
  EXPECT_EQ(counters.strayAccesses, 1u);
}

// ---- The configuration the module keeps ----

TEST_F(NandTest, ConfigurationOutlivesTheProcessUntilPowerOff) {
  Open();
  Reopen();
  EXPECT_EQ(Reg(kControl), control_);
  EXPECT_EQ(NandModelCounters(model_).insaneTimings, 0u);
  NandModelPowerOff(shm_);
  Reopen();
  EXPECT_EQ(Reg(kControl), 0u);
  EXPECT_EQ(Reg(kTiming0), 0u);
  // Reset-state timings are too short for the chip: counted, the command runs.
  control_ = 0;
  ASSERT_TRUE(Issue(kResetCommand, 0, 0));
  EXPECT_NE(Finish(), kTimedOut);
  EXPECT_EQ(NandModelCounters(model_).insaneTimings, 1u);
  NandModelOsDriverSetUp(model_);
  EXPECT_EQ(Reg(kControl), NandModelChip(model_)->controlBits | 0xFFF);
}

// ---- The module's own driver ----

TEST_F(NandTest, OsDriverSeesTheSameCellsCodeAndFaults) {
  config_.faultNandCorrectable = "300";
  config_.faultNandBadBlocks = "9";
  Open();
  Bytes spare = PagePattern(1, 64);
  ASSERT_EQ(NandModelProgramPage(model_, 300, PagePattern(300).data(), spare.data(), 64, true), NandResult::Ok);
  control_ |= kEccOn | kSpareOn;
  Bytes data, readSpare;
  EXPECT_EQ(ReadPage(300, &data, &readSpare) & kCorrected, kCorrected);
  EXPECT_EQ(data, PagePattern(300));
  EXPECT_EQ(readSpare, Bytes(spare.begin(), spare.begin() + 40));

  ASSERT_EQ(ProgramPage(301, PagePattern(301), {}) & kEndBits, kDone | kChipReady);
  Bytes osData(kPageBytes);
  EXPECT_EQ(NandModelReadPage(model_, 301, osData.data(), nullptr, true), NandResult::Ok);
  EXPECT_EQ(osData, PagePattern(301));
  EXPECT_EQ(NandModelEraseBlock(model_, 9), NandResult::Failed);
  EXPECT_EQ(NandModelEraseBlock(model_, 2048), NandResult::Failed);
  EXPECT_EQ(NandModelEraseBlock(model_, 300 / kPagesPerBlock), NandResult::Ok);
  EXPECT_EQ(Cells(300), Bytes(kRecordBytes, 0xFF));
}

TEST_F(NandTest, RealisticTimingRunsEveryOperationToItsEnd) {
  config_.timing = ModuleTiming::Realistic;
  Open();
  const uint32_t page = 64 * 3 + 1;
  EXPECT_EQ(ProgramPage(page, PagePattern(page), {}) & kEndBits, kDone | kChipReady);
  Bytes data, spare;
  EXPECT_EQ(ReadPage(page, &data, &spare) & kEndBits, kDone | kChipReady);
  EXPECT_EQ(data, PagePattern(page));
  EXPECT_EQ(EraseBlock(3) & kEndBits, kDone | kChipReady);
  EXPECT_EQ(Cells(page), Bytes(kRecordBytes, 0xFF));
  ASSERT_EQ(NandModelProgramPage(model_, page, PagePattern(1).data(), nullptr, 0, false), NandResult::Ok);
  EXPECT_EQ(CellData(page), PagePattern(1));
  EXPECT_EQ(NandModelCounters(model_).ignoredWhileBusy, 0u);
}

}  // namespace
