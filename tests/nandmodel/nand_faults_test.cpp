#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/nandmodel/nand_fixture.h"

namespace {

constexpr uint32_t kBlock = 7;
constexpr uint32_t kFirstPage = kBlock * kPagesPerBlock;
constexpr uint32_t kSpareStart = kPageBytes;

// ---- Program and erase failures, one case per fault ----

enum class Op { Program, Erase };

struct Step {
  Op op;
  bool fails;
};

struct FaultCase {
  const char* name;
  std::string ModuleConfig::*list;
  const char* value;
  std::vector<Step> steps;  // on block 7, each program on the next page
};

class NandFaultTest : public NandTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(NandFaultTest, FailingOperationsReportABadBlockAndChangeNothing) {
  config_.*GetParam().list = GetParam().value;
  Open();
  ASSERT_EQ(ProgramPage(kFirstPage + kPagesPerBlock, PagePattern(1), {}) & kBadBlock, 0u) << "the next block is sound";
  const uint32_t lastPage = kFirstPage + kPagesPerBlock - 1;
  uint32_t page = kFirstPage + 2;  // clear of the pages a factory mark sits in
  for (size_t i = 0; i < GetParam().steps.size(); i++) {
    const Step& step = GetParam().steps[i];
    // Content for an erase to remove, put there behind the chip's back.
    SetCells(lastPage, PagePattern(lastPage));
    uint32_t status = step.op == Op::Program ? ProgramPage(page, PagePattern(page), {}) : EraseBlock(kBlock);
    EXPECT_EQ(status & (kDone | kBadBlock), kDone | (step.fails ? 0x040u : 0u)) << "step " << i;
    if (step.op == Op::Program) {
      EXPECT_EQ(CellData(page), step.fails ? Bytes(kPageBytes, 0xFF) : PagePattern(page)) << "step " << i;
      page++;
    } else {
      EXPECT_EQ(CellData(lastPage), step.fails ? PagePattern(lastPage) : Bytes(kPageBytes, 0xFF)) << "step " << i;
    }
  }
  EXPECT_EQ(CellData(kFirstPage + kPagesPerBlock), PagePattern(1));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, NandFaultTest,
    ::testing::Values(
        FaultCase{"FactoryBad", &ModuleConfig::nandFactoryBad, "3, 7", {{Op::Program, true}, {Op::Erase, true}}},
        FaultCase{"GoneBad", &ModuleConfig::faultNandBadBlocks, "7", {{Op::Program, true}, {Op::Erase, true}}},
        FaultCase{"ProgramFails",
                  &ModuleConfig::faultNandProgramFail,
                  "7",
                  {{Op::Program, true}, {Op::Erase, false}, {Op::Program, true}}},
        FaultCase{"ProgramWearsOut",
                  &ModuleConfig::faultNandProgramFail,
                  "0x7@2",
                  {{Op::Program, false}, {Op::Program, false}, {Op::Program, true}, {Op::Program, true}}},
        FaultCase{"EraseWearsOut",
                  &ModuleConfig::faultNandEraseFail,
                  "7@1",
                  {{Op::Erase, false}, {Op::Program, false}, {Op::Erase, true}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NandTest, FactoryBadBlocksCarryTheMakersMark) {
  config_.nandFactoryBad = "7";
  Open();
  for (uint32_t page : {kFirstPage, kFirstPage + 1}) EXPECT_EQ(Cells(page)[kSpareStart], 0x00) << page;
  EXPECT_EQ(Cells(kFirstPage + 2)[kSpareStart], 0xFF);
  EXPECT_EQ(Cells(kFirstPage + kPagesPerBlock)[kSpareStart], 0xFF);
}

struct BadSetting {
  std::string ModuleConfig::*list;
  const char* value;
};

class NandBadSettingTest : public NandTest, public ::testing::WithParamInterface<BadSetting> {};

TEST_P(NandBadSettingTest, ModelRefusesToOpen) {
  config_.*GetParam().list = GetParam().value;
  std::string error;
  EXPECT_FALSE(NandModelCheckConfig(config_, &error));
  EXPECT_NE(error, "");
}

INSTANTIATE_TEST_SUITE_P(Settings, NandBadSettingTest,
                         ::testing::Values(BadSetting{&ModuleConfig::faultNandBadBlocks, "2048"},
                                           BadSetting{&ModuleConfig::faultNandProgramFail, "5@x"},
                                           BadSetting{&ModuleConfig::faultNandEraseFail, "-1"},
                                           BadSetting{&ModuleConfig::faultNandCorrectable, "131072"},
                                           BadSetting{&ModuleConfig::nandFactoryBad, "12 13"}));

// ---- Never ready ----

TEST_F(NandTest, NeverReadyControllerTakesNoCommand) {
  config_.faultNeverReady = true;
  Open();
  EXPECT_FALSE(Issue(kReadIdCommand, 0, 0));
  Bytes data(kPageBytes);
  EXPECT_EQ(NandModelReadPage(model_, 0, data.data(), nullptr, false), NandResult::NotReady);
  EXPECT_EQ(NandModelEraseBlock(model_, 0), NandResult::NotReady);
}

// ---- Power cut ----

class NandPowerCutTest : public NandTest {
 protected:
  // Runs `work` in a child process on a model of the same flash opened with
  // `config`; the child's exit status.
  int InChild(const ModuleConfig& config, const std::function<void()>& work) {
    pid_t pid = ::fork();
    if (pid == 0) {
      config_ = config;
      Reopen();
      work();
      ::_exit(0);  // the cut never came
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(NandPowerCutTest, CutEndsTheProcessBeforeTheNextCommand) {
  Open();
  ModuleConfig child = config_;
  child.faultPowerCutAfter = 2;  // a program and an OS driver read; the next program is cut
  int code = InChild(child, [&] {
    ProgramPage(kFirstPage, PagePattern(kFirstPage), {});
    Bytes data(kPageBytes);
    NandModelReadPage(model_, kFirstPage, data.data(), nullptr, false);
    ProgramPage(kFirstPage + 1, PagePattern(kFirstPage + 1), {});
  });
  EXPECT_EQ(code, kNandPowerCutExitCode);
  EXPECT_EQ(CellData(kFirstPage), PagePattern(kFirstPage));
  EXPECT_EQ(Cells(kFirstPage + 1), Bytes(kRecordBytes, 0xFF));
}

TEST_F(NandPowerCutTest, CutMidProgramLeavesTheStartOfThePageProgrammed) {
  Open();
  ModuleConfig child = config_;
  child.faultPowerCutBusyUs = 100;  // half of a program
  int code = InChild(child, [&] { ProgramPage(kFirstPage, Bytes(kPageBytes, 0), {}); });
  EXPECT_EQ(code, kNandPowerCutExitCode);
  Bytes cells = Cells(kFirstPage);
  Bytes expected(kRecordBytes, 0xFF);
  std::fill(expected.begin(), expected.begin() + kRecordBytes / 2, 0);
  EXPECT_EQ(cells, expected);
}

TEST_F(NandPowerCutTest, CutMidEraseLeavesTheFirstPagesErased) {
  Open();
  for (uint32_t i : {0u, 31u, 32u, 63u}) {
    ASSERT_EQ(ProgramPage(kFirstPage + i, Bytes(kPageBytes, 0), {}) & kBadBlock, 0u);
  }
  ModuleConfig child = config_;
  child.faultPowerCutBusyUs = 25 + 1000;  // a read, then half of an erase
  int code = InChild(child, [&] {
    Bytes data, spare;
    ReadPage(0, &data, &spare);
    EraseBlock(kBlock);
  });
  EXPECT_EQ(code, kNandPowerCutExitCode);
  EXPECT_EQ(Cells(kFirstPage), Bytes(kRecordBytes, 0xFF));
  EXPECT_EQ(Cells(kFirstPage + 31), Bytes(kRecordBytes, 0xFF));
  EXPECT_EQ(CellData(kFirstPage + 32), Bytes(kPageBytes, 0));
  EXPECT_EQ(CellData(kFirstPage + 63), Bytes(kPageBytes, 0));
}

}  // namespace
