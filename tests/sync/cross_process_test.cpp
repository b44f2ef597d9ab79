// Two real processes on one module: the mutex must exclude across them, and
// shared memory must show one process's writes to the other.
#include <unistd.h>

#include <cstring>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_mapping.h"
#include "platform/handles.h"
#include "platform/sync.h"
#include "tests/sync/sync_fixture.h"

namespace {

constexpr const WCHAR* kFlashLock = u"OnModuleFlash";
constexpr DWORD kShortWaitMs = 30;
constexpr DWORD kLongWaitMs = 5000;
constexpr char kLocked = 'L';
constexpr char kGo = 'G';
constexpr char kTimedOut = 'T';

// Child exit codes that say which step went wrong.
enum ChildCode { kChildOk = 0, kChildOpenFailed = 10, kChildWaitFailed, kChildSignalFailed, kChildReleaseFailed };

// Finds the parent's initial ownership, then takes the mutex over and holds it until told.
int ContendWithParent(int fromParent, int toParent) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kFlashLock);
  if (mutex == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return kChildOpenFailed;
  if (WaitForSingleObject(mutex, kShortWaitMs) != WAIT_TIMEOUT) return kChildWaitFailed;
  if (!SendByte(toParent, kTimedOut)) return kChildSignalFailed;
  if (WaitForSingleObject(mutex, kLongWaitMs) != WAIT_OBJECT_0) return kChildWaitFailed;
  char go = 0;
  if (!SendByte(toParent, kLocked) || !ReceiveByte(fromParent, &go)) return kChildSignalFailed;
  return ReleaseMutex(mutex) ? kChildOk : kChildReleaseFailed;
}

}  // namespace

TEST_F(SyncTest, MutexExcludesAcrossProcessesBothWays) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, kFlashLock);
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(GetLastError(), ERROR_SUCCESS);
  Child child = StartChild(ContendWithParent);
  char state = 0;
  ASSERT_TRUE(ReceiveByte(child.fromChild, &state));
  EXPECT_EQ(state, kTimedOut);
  EXPECT_TRUE(ReleaseMutex(mutex));
  ASSERT_TRUE(ReceiveByte(child.fromChild, &state));
  DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(mutex, kShortWaitMs), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, kShortWaitMs);
  ASSERT_TRUE(SendByte(child.toChild, kGo));
  EXPECT_EQ(WaitForSingleObject(mutex, kLongWaitMs), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(FinishChild(&child), kChildOk);
  CloseHandle(mutex);
}

TEST_F(SyncTest, ProcessDyingWithMutexAbandonsItToTheWaiter) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kFlashLock);
  ASSERT_NE(mutex, nullptr);
  Child child = StartChild([](int fromParent, int toParent) {
    HANDLE held = CreateMutexW(nullptr, FALSE, kFlashLock);
    char go = 0;
    if (held == nullptr || WaitForSingleObject(held, kLongWaitMs) != WAIT_OBJECT_0) return int{kChildWaitFailed};
    SendByte(toParent, kLocked);
    ReceiveByte(fromParent, &go);
    return int{kChildOk};  // ends without ReleaseMutex
  });
  char state = 0;
  ASSERT_TRUE(ReceiveByte(child.fromChild, &state));
  ASSERT_TRUE(SendByte(child.toChild, kGo));
  // Already waiting while the child dies.
  EXPECT_EQ(WaitForSingleObject(mutex, kLongWaitMs), WAIT_ABANDONED);
  EXPECT_EQ(FinishChild(&child), kChildOk);
  // The abandoned wait made this thread the owner, and a proper release ends the matter.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(SyncTest, MutexLeftByAProcessNobodyElseHadIsFreshAgain) {
  Child child = StartChild([](int, int) {
    HANDLE held = CreateMutexW(nullptr, TRUE, kFlashLock);
    return held != nullptr && GetLastError() == ERROR_SUCCESS ? int{kChildOk} : int{kChildOpenFailed};
  });
  ASSERT_EQ(FinishChild(&child), kChildOk);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kFlashLock);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST_F(SyncTest, SharedMemoryShowsAnotherProcessesWrites) {
  constexpr DWORD kSize = 16388;
  constexpr const WCHAR* kName = u"NAND_FLASH_BBMT";
  constexpr char kText[] = "written by the child";
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, kName);
  ASSERT_NE(mapping, nullptr);
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  view[0] = 'P';
  Child child = StartChild([&](int, int) {
    HANDLE same = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, kName);
    if (same == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return int{kChildOpenFailed};
    auto* own = static_cast<char*>(MapViewOfFile(same, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (own == nullptr || own[0] != 'P') return int{kChildWaitFailed};
    std::memcpy(own + kSize - sizeof kText, kText, sizeof kText);
    return int{kChildOk};
  });
  ASSERT_EQ(FinishChild(&child), kChildOk);
  EXPECT_STREQ(view + kSize - sizeof kText, kText);
  EXPECT_TRUE(UnmapViewOfFile(view));
  CloseHandle(mapping);
}
