#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "flash/flash_layer.h"
#include "platform/debug.h"
#include "platform/platform.h"
#include "tests/flash/flash_fixture.h"

namespace {

using FlashLayer = FlashTest;

struct HookLog {
  std::vector<std::pair<uint32_t, uint32_t>> calls;
  int stopAfter = -1;  // calls answered with "go on" before a stop
};
HookLog g_hook;

int Hook(uint32_t done, uint32_t total) {
  g_hook.calls.emplace_back(done, total);
  return g_hook.stopAfter < 0 || static_cast<int>(g_hook.calls.size()) <= g_hook.stopAfter;
}

TEST_F(FlashLayer, ProgressHookIsAskedBeforeTheFirstBlockAndEveryStep) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  g_hook = HookLog{};
  FlashSetProgress(Hook, 0x80000);
  ASSERT_EQ(FlashOps.Erase(0x800000, 0x200000), 1u);
  using Call = std::pair<uint32_t, uint32_t>;
  EXPECT_EQ(g_hook.calls, (std::vector<Call>{{0, 0x200000}, {0x80000, 0x200000}, {0x100000, 0x200000},
                                             {0x180000, 0x200000}}));

  g_hook = HookLog{};
  FlashSetProgress(Hook, 0);
  ASSERT_EQ(FlashOps.Erase(0x800000, 0xC0000), 1u);
  EXPECT_EQ(g_hook.calls.size(), 3u) << "a step of 0 asks before every block";

  g_hook = HookLog{};
  ASSERT_EQ(FlashOps.Erase(0x800000, 0), 1u);
  EXPECT_TRUE(g_hook.calls.empty()) << "nothing to erase, nothing to report";
  FlashSetProgress(nullptr, 0);
}

TEST_F(FlashLayer, HookThatStopsFirstErasesNothing) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  std::vector<uint32_t> words(0x40000 / 4, 0x12345678);
  Program(0x800000, words);
  g_hook = HookLog{};
  g_hook.stopAfter = 0;
  FlashSetProgress(Hook, 0x80000);
  EXPECT_EQ(FlashOps.Erase(0x800000, 0x40000), 0u);
  EXPECT_EQ(g_hook.calls.size(), 1u);
  EXPECT_EQ(FlashOps.ReadWord(0x83FFFC), 0x12345678u);

  g_hook = HookLog{};
  EXPECT_EQ(FlashOps.Erase(0x1FC0000, 0x80000), 0u);
  EXPECT_TRUE(g_hook.calls.empty()) << "a range past the end fails before any progress";
  FlashSetProgress(nullptr, 0);
}

TEST_F(FlashLayer, OtherPartCodesTakeTheNandDriverEvenWithoutAController) {
  Attach({"board.cpu_part_code=2"});
  EXPECT_EQ(FlashInit(), 0u);
  EXPECT_EQ(FlashType, FLASH_TYPE_NONE);
  EXPECT_EQ(FlashError, FLASH_ERR_UNKNOWN_CHIP) << "an open bus identifies as no chip in the table";
  EXPECT_EQ(FlashLock(FLASH_WAIT_FOREVER), 0u) << "a failed init is retried, then no lock is held";
}

TEST_F(FlashLayer, LockExcludesAnotherProcessOnTheSameModule) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  pid_t child = ::fork();
  if (child == 0) {
    // A second copy of the program: its own layer, the same module.
    FlashLayerResetForTests();
    char byte = FlashLock(FLASH_WAIT_FOREVER) ? 'L' : 'F';
    (void)!::write(toParent[1], &byte, 1);
    (void)!::read(toChild[0], &byte, 1);
    FlashUnlock();
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(toParent[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'L');
  EXPECT_EQ(FlashLock(50), 0u) << "the other process holds it";
  (void)!::write(toChild[1], "x", 1);
  EXPECT_EQ(FlashLock(5000), 1u);
  FlashUnlock();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
}

TEST_F(FlashLayer, LockAbandonedByADeadProcessIsTakenOverAndReleased) {
  Attach();
  ASSERT_EQ(FlashInit(), FLASH_TYPE_NOR);
  pid_t owner = ::fork();
  if (owner == 0) {
    FlashLayerResetForTests();
    ::_exit(FlashLock(FLASH_WAIT_FOREVER) ? 0 : 1);  // dies holding it
  }
  int status = 0;
  ::waitpid(owner, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string log;
  DebugSetCaptureSink(&log);
  EXPECT_EQ(FlashLock(5000), 1u) << "an abandoned lock is ours";
  DebugReset();
  EXPECT_NE(log.find("OnModuleFlash"), std::string::npos) << "the take-over is logged";
  FlashUnlock();
  pid_t next = ::fork();
  if (next == 0) {
    FlashLayerResetForTests();
    ::_exit(FlashLock(5000) ? 0 : 1);
  }
  ::waitpid(next, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "and released again for the next process";
}

TEST_F(FlashLayer, LockInitialisesTheLayerFirst) {
  Attach();
  EXPECT_EQ(FlashType, FLASH_TYPE_NONE);
  ASSERT_EQ(FlashLock(FLASH_WAIT_FOREVER), 1u);
  EXPECT_EQ(FlashType, FLASH_TYPE_NOR);
  FlashUnlock();
  EXPECT_EQ(FlashRelease(), 1u);
  EXPECT_EQ(FlashType, FLASH_TYPE_NONE);
}

}  // namespace
