#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "module/nor_geometry.h"
#include "tests/normodel/nor_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBlock = 0x100000;  // an unlocked main block
constexpr uint32_t kBlockBytes = 0x40000;
constexpr uint32_t kLowReady = 0x80;
constexpr uint32_t kHighReady = 0x80u << 16;

uint32_t LowHalf(uint32_t word) { return word & 0xFFFF; }
uint32_t HighHalf(uint32_t word) { return word >> 16; }

// ---- Faults that strike one chip ----

TEST_F(NorTest, ProgramErrorShowsInItsChipsHalfOnly) {
  config_.norDeviceCode = kSmallChip;
  config_.faultProgramErrorAt = kBlock + 0x10A;  // high chip, word at 0x108
  Open();
  std::vector<uint8_t> before = Snapshot();
  std::vector<uint32_t> zeros(16, 0);
  EXPECT_EQ(BufferProgram(kBlock + 0x100, zeros), kLowReady | (0x90u << 16));
  std::vector<uint8_t> after = Snapshot();
  for (uint32_t i = 0; i < 16; i++) {
    uint32_t at = kBlock + 0x100 + 4 * i;
    uint32_t expected = at == kBlock + 0x108 ? WordAt(before, at) & 0xFFFF0000 : 0;
    EXPECT_EQ(WordAt(after, at), expected) << std::hex << at;
  }
  // The error sticks in that chip: a clean program elsewhere still shows it.
  EXPECT_EQ(ProgramWord(kBlock + 0x200, 0), kLowReady | (0x90u << 16));
  Command(kBlock, 0x50);
  EXPECT_EQ(ProgramWord(kBlock + 0x204, 0), kReady);
}

TEST_F(NorTest, WeakProgramReportsSuccessButLeavesBitsSet) {
  config_.norDeviceCode = kSmallChip;
  config_.faultWeakProgramAt = kBlock + 0x300;  // low chip
  Open();
  uint32_t old = WordAt(Snapshot(), kBlock + 0x300);
  ASSERT_GE(__builtin_popcount(LowHalf(old)), 2) << "the pattern must have bits to clear";
  EXPECT_EQ(ProgramWord(kBlock + 0x300, 0), kReady);
  uint32_t now = Read(kBlock + 0x300);
  EXPECT_EQ(HighHalf(now), 0u);
  EXPECT_NE(LowHalf(now), 0u) << "every bit was programmed";
  EXPECT_NE(LowHalf(now), LowHalf(old)) << "no bit was programmed";
  EXPECT_EQ(LowHalf(now) & ~LowHalf(old), 0u) << "a bit was set by programming";
}

TEST_F(NorTest, LockedBlockFaultNeverUnlocks) {
  config_.norDeviceCode = kSmallChip;
  config_.faultLockedBlock = kBlock + 0x1234;  // low chip
  Open();
  EXPECT_EQ(LockStatus(kBlock), 1u) << "locked from power-up, in the low chip only";
  EXPECT_EQ(Unlock(kBlock), kReady);
  EXPECT_EQ(LockStatus(kBlock), 1u);
  std::vector<uint8_t> before = Snapshot();
  EXPECT_EQ(Erase(kBlock), (kLowReady | 0x22) | kHighReady);
  std::vector<uint8_t> after = Snapshot();
  for (uint32_t at = kBlock; at < kBlock + kBlockBytes; at += 4) {
    ASSERT_EQ(WordAt(after, at), (WordAt(before, at) & 0xFFFF) | 0xFFFF0000) << std::hex << at;
  }
  EXPECT_EQ(LockStatus(kBlock + kBlockBytes), 0u) << "the next block unlocks as usual";
}

TEST_F(NorTest, EraseErrorLeavesItsChipsBlockHalfErased) {
  config_.norDeviceCode = kSmallChip;
  config_.faultEraseErrorBlock = kBlock + 2;  // high chip
  Open();
  std::vector<uint8_t> before = Snapshot();
  EXPECT_EQ(Erase(kBlock), kLowReady | (0xA0u << 16));
  std::vector<uint8_t> after = Snapshot();
  EXPECT_TRUE(SameOutside(before, after, kBlock, kBlock + kBlockBytes));
  for (uint32_t at = kBlock; at < kBlock + kBlockBytes; at += 4) {
    uint32_t high = at < kBlock + kBlockBytes / 2 ? 0xFFFF : HighHalf(WordAt(before, at));
    ASSERT_EQ(WordAt(after, at), 0xFFFF | high << 16) << std::hex << at;
  }
}

TEST_F(NorTest, NeverReadyChipStaysBusyAndDoesNothing) {
  config_.norDeviceCode = kSmallChip;
  config_.faultNeverReady = true;
  Open();
  Command(0, 0x90);
  EXPECT_EQ(Read(0), 0x00890089u) << "identification still answers";
  Command(0, 0xFF);
  std::vector<uint8_t> before = Snapshot();
  Command(kBlock, 0x20);
  Command(kBlock, 0xD0);
  EXPECT_EQ(Read(kBlock) & kReady, 0u);
  Command(kBlock, 0xFF);
  EXPECT_EQ(Read(kBlock + 0x40), 0u) << "a busy chip answers reads with its status";
  Command(kBlock, 0x40);
  EXPECT_EQ(NorModelChipCounters(model_, 0).ignoredWhileBusy, 1u);
  Reopen();  // closing leaves nothing half done either
  EXPECT_EQ(Snapshot(), before);
}

// ---- Realistic timing ----

// Polls until both chips are ready; the time it took, or a negative value.
double SecondsUntilReady(const std::function<uint32_t()>& status, Clock::time_point start) {
  while (Clock::now() - start < std::chrono::seconds(5)) {
    if ((status() & kReady) == kReady) return std::chrono::duration<double>(Clock::now() - start).count();
  }
  return -1;
}

TEST_F(NorTest, RealisticTimingKeepsTheChipBusy) {
  config_.norDeviceCode = kParamChip;
  config_.timing = ModuleTiming::Realistic;
  Open();
  uint32_t block = 0x40000;  // the first main block: a 1 s erase
  Unlock(block);
  Unlock(kBlock);
  std::vector<uint8_t> before = Snapshot();
  Command(block, 0x20);
  auto start = Clock::now();
  Command(block, 0xD0);
  EXPECT_EQ(Read(block), 0u) << "busy, no errors";
  Command(block, 0xFF);
  EXPECT_EQ(Read(block + 8), 0u) << "array reads give the status while busy";
  Command(block, 0x60);  // refused while busy
  EXPECT_EQ(NorModelChipCounters(model_, 1).ignoredWhileBusy, 1u);
  // Status while busy, the erased array (bit 7 set too) once done.
  double seconds = SecondsUntilReady([&] { return Read(block); }, start);
  EXPECT_GE(seconds, 0.99);
  EXPECT_EQ(Read(block + 8), 0xFFFFFFFFu) << "0xFF taken while busy chose read array";
  EXPECT_TRUE(SameOutside(before, Snapshot(), block, block + 0x40000));

  start = Clock::now();
  Command(kBlock, 0x40);
  Write(kBlock, 0);
  seconds = SecondsUntilReady([&] { return Read(kBlock); }, start);
  EXPECT_GE(seconds, 210e-6);
  start = Clock::now();
  Command(kBlock + 0x40, 0xE8);
  Write(kBlock + 0x40, 0);
  Write(kBlock + 0x40, 0);
  Command(kBlock + 0x40, 0xD0);
  seconds = SecondsUntilReady([&] { return Read(kBlock + 0x40); }, start);
  EXPECT_GE(seconds, 218e-6);
  Command(kBlock, 0xFF);
  EXPECT_EQ(Read(kBlock), 0u);
  EXPECT_EQ(Read(kBlock + 0x40), 0u);
}

TEST_F(NorTest, ClosingLetsAnEraseUnderWayFinish) {
  config_.norDeviceCode = kSmallChip;
  config_.timing = ModuleTiming::Realistic;
  Open();
  Command(kBlock, 0x20);
  Command(kBlock, 0xD0);
  NorModelClose(model_);
  model_ = nullptr;
  std::vector<uint8_t> after = Snapshot();
  for (uint32_t at = kBlock; at < kBlock + kBlockBytes; at++) ASSERT_EQ(after[at], 0xFF) << at;
}

// ---- Power cut ----

// Runs `work` on a fresh model of the same image in a child process; the
// child's exit status.
int RunChild(const std::string& path, const ModuleConfig& config, const std::function<void(NorModel*)>& work) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::string error;
    NorModel* model = NorModelOpen(path, "", config, &error);
    if (model == nullptr) ::_exit(2);
    work(model);
    ::_exit(0);  // the cut never came
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Cmd(NorModel* model, uint32_t offset, uint8_t command) { NorModelBusOps()->write32(model, offset, command * kBoth); }

TEST_F(NorTest, PowerCutEndsTheProcessBeforeTheCommand) {
  config_.norDeviceCode = kSmallChip;
  Open();
  ModuleConfig child = config_;
  child.faultPowerCutAfter = 4;  // unlock and erase go through, the program is cut
  int code = RunChild(path_, child, [](NorModel* m) {
    Cmd(m, kBlock, 0x60);
    Cmd(m, kBlock, 0xD0);
    Cmd(m, kBlock, 0x20);
    Cmd(m, kBlock, 0xD0);
    Cmd(m, kBlock, 0x40);
    NorModelBusOps()->write32(m, kBlock, 0);
  });
  EXPECT_EQ(code, kNorPowerCutExitCode);
  std::vector<uint8_t> after = Snapshot();
  for (uint32_t at = kBlock; at < kBlock + kBlockBytes; at++) ASSERT_EQ(after[at], 0xFF) << at;
}

TEST_F(NorTest, PowerCutDuringARealisticEraseLeavesItHalfDone) {
  config_.norDeviceCode = kSmallChip;
  config_.timing = ModuleTiming::Realistic;
  Open();
  std::vector<uint8_t> before = Snapshot();
  ModuleConfig child = config_;
  child.faultPowerCutAfter = 2;
  int code = RunChild(path_, child, [](NorModel* m) {
    Cmd(m, kBlock, 0x20);
    Cmd(m, kBlock, 0xD0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // of a 1 s erase
    Cmd(m, kBlock, 0x70);
  });
  EXPECT_EQ(code, kNorPowerCutExitCode);
  std::vector<uint8_t> after = Snapshot();
  EXPECT_TRUE(SameOutside(before, after, kBlock, kBlock + kBlockBytes));
  // Each chip has erased a prefix of its block and kept the rest.
  for (uint32_t half = 0; half < 2; half++) {
    uint32_t at = kBlock;
    auto chipWord = [&](const std::vector<uint8_t>& image, uint32_t offset) {
      return half == 0 ? LowHalf(WordAt(image, offset)) : HighHalf(WordAt(image, offset));
    };
    while (at < kBlock + kBlockBytes && chipWord(after, at) == 0xFFFF) at += 4;
    EXPECT_GT(at, kBlock + kBlockBytes / 5) << "too little erased in chip " << half;
    EXPECT_LT(at, kBlock + kBlockBytes) << "the whole block was erased in chip " << half;
    for (; at < kBlock + kBlockBytes; at += 4) ASSERT_EQ(chipWord(after, at), chipWord(before, at)) << std::hex << at;
  }
}

}  // namespace
