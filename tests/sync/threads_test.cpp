// Threads as handles: exit codes, waits, priorities, and the tick counter.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/handles.h"
#include "platform/sync.h"
#include "platform/threads.h"

namespace {

constexpr DWORD kShortWaitMs = 20;
constexpr DWORD kLongWaitMs = 5000;
constexpr DWORD kExitCode = 42;
constexpr int kRaised = 1;

struct Gate {
  std::atomic<bool> open{false};
  std::atomic<bool> done{false};
  std::atomic<DWORD> id{0};
  std::atomic<int> priority{-1};
};

DWORD WaitAtGate(LPVOID arg) {
  auto* gate = static_cast<Gate*>(arg);
  gate->id = GetCurrentThreadId();
  while (!gate->open) Sleep(1);
  gate->priority = CeGetThreadPriority(GetCurrentThread());
  gate->done = true;
  return kExitCode;
}

}  // namespace

TEST(Threads, HandleReportsTheRunAndItsEnd) {
  Gate gate;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, WaitAtGate, &gate, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(CeGetThreadPriority(thread), CE_THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(CeSetThreadPriority(thread, kRaised));

  EXPECT_EQ(WaitForSingleObject(thread, kShortWaitMs), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  gate.open = true;
  ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(gate.id.load(), id);
  EXPECT_EQ(gate.priority.load(), kRaised);  // set from outside, seen from inside
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, kExitCode);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(CloseHandle(thread));

  // A handle closed while its thread runs leaves the thread running.
  Gate second;
  size_t handlesBefore = HandleCount();
  ASSERT_TRUE(CloseHandle(CreateThread(nullptr, 0, WaitAtGate, &second, 0, nullptr)));
  EXPECT_EQ(HandleCount(), handlesBefore);
  second.open = true;
  for (DWORD waited = 0; waited < kLongWaitMs && !second.done; ++waited) Sleep(1);
  EXPECT_TRUE(second.done);
}

TEST(Threads, OwnPriorityAndRefusedCalls) {
  ThreadsResetForTests();
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), CE_THREAD_PRIORITY_NORMAL);
  EXPECT_TRUE(CeSetThreadPriority(GetCurrentThread(), CE_THREAD_PRIORITY_LOWEST));
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), CE_THREAD_PRIORITY_LOWEST);
  for (int bad : {-1, CE_THREAD_PRIORITY_LOWEST + 1}) {
    EXPECT_FALSE(CeSetThreadPriority(GetCurrentThread(), bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), CE_THREAD_PRIORITY_LOWEST);
  ThreadsResetForTests();
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), CE_THREAD_PRIORITY_NORMAL);
  // Waiting for one's own end could never finish.
  EXPECT_EQ(WaitForSingleObject(GetCurrentThread(), INFINITE), WAIT_FAILED);
}

TEST(Clock, TickCountIsMonotonicAndFollowsSleep) {
  DWORD start = GetTickCount();
  Sleep(kShortWaitMs);
  DWORD slept = GetTickCount() - start;
  EXPECT_GE(slept, kShortWaitMs);
  EXPECT_LT(slept, kLongWaitMs);
  DWORD last = GetTickCount();
  for (int i = 0; i < 1000; ++i) {
    DWORD now = GetTickCount();
    EXPECT_LT(now - last, kLongWaitMs);  // never steps back (a step back wraps to a huge difference)
    last = now;
  }
}
