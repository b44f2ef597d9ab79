// A run of words written in one bus call (what a buffer write of the program
// becomes) must do exactly what the same words written one at a time do.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/normodel/nor_fixture.h"

namespace {

constexpr uint32_t kUnlocked = 0x80000;  // a main block the small chips power up with unlocked
constexpr uint32_t kBufferWords = 16;    // the small chips'

struct RunCase {
  const char* name;
  uint32_t start;  // bus offset of the first data word
  uint32_t count;  // words announced
  uint32_t words;  // words in the run (a confirm follows)
};

class NorRuns : public NorTest, public ::testing::WithParamInterface<RunCase> {
 protected:
  // The announced program with the data as one run or word by word; the
  // status it ends with, and the flash it leaves.
  uint32_t Program(bool asRun) {
    const RunCase& c = GetParam();
    std::vector<uint32_t> data(c.words);
    for (uint32_t i = 0; i < c.words; i++) data[i] = 0x01234567u * (i + 3);
    Command(c.start, 0xE8);
    Write(c.start, (c.count - 1) * kBoth);
    if (asRun) {
      bus_->writeWords(model_, c.start, data.data(), data.size());
    } else {
      for (uint32_t i = 0; i < c.words; i++) Write(c.start + 4 * i, data[i]);
    }
    Command(c.start, 0xD0);
    return Read(c.start);
  }
};

TEST_P(NorRuns, RunDoesWhatSingleWritesDo) {
  config_.norDeviceCode = kSmallChip;
  Open();
  uint32_t single = Program(false);
  std::vector<uint8_t> expected = Snapshot();
  uint64_t commands = NorModelCommandWrites(model_);
  uint64_t unknown = NorModelChipCounters(model_, 0).unknownCommands;
  Open();
  EXPECT_EQ(Program(true), single);
  EXPECT_EQ(Snapshot(), expected);
  EXPECT_EQ(NorModelCommandWrites(model_), commands);
  EXPECT_EQ(NorModelChipCounters(model_, 0).unknownCommands, unknown);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NorRuns,
    ::testing::Values(RunCase{"WholeBuffer", kUnlocked, kBufferWords, kBufferWords},
                      RunCase{"PartOfABuffer", kUnlocked + 0x14, 5, 5},
                      RunCase{"LeavesTheRegion", kUnlocked + 0x38, 4, 4},
                      RunCase{"MoreWordsThanAnnounced", kUnlocked, 3, 8}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(NorTest, PowerCutStrikesInsideARun) {
  config_.norDeviceCode = kSmallChip;
  Open();
  std::vector<uint8_t> before = Snapshot();
  ModuleConfig child = config_;
  child.faultPowerCutAfter = 2 + 5;  // buffer command, count, then five data words
  std::string said = path_ + ".stderr";
  pid_t pid = ::fork();
  if (pid == 0) {
    int err = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || ::dup2(err, STDERR_FILENO) < 0) ::_exit(3);
    std::string error;
    NorModel* m = NorModelOpen(path_, "", child, &error);
    if (m == nullptr) ::_exit(2);
    std::vector<uint32_t> zeros(kBufferWords, 0);
    NorModelBusOps()->write32(m, kUnlocked, 0xE8 * kBoth);
    NorModelBusOps()->write32(m, kUnlocked, (kBufferWords - 1) * kBoth);
    NorModelBusOps()->writeWords(m, kUnlocked, zeros.data(), zeros.size());
    NorModelBusOps()->write32(m, kUnlocked, 0xD0 * kBoth);
    ::_exit(0);  // the cut never came
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), kNorPowerCutExitCode);
  EXPECT_EQ(Snapshot(), before);
  // The model says where it cut: not a word later.
  std::vector<uint8_t> text = ReadFile(said);
  EXPECT_NE(std::string(text.begin(), text.end()).find("after 7 flash commands"), std::string::npos);
}

}  // namespace
