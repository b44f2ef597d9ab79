// Mutex semantics inside one process: recursion, ownership, abandonment by a
// thread, names, timeouts and refused input.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/file_mapping.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "tests/sync/sync_fixture.h"

namespace {

constexpr DWORD kShortWaitMs = 30;
constexpr DWORD kLongWaitMs = 5000;

// What another thread gets from a zero-time wait (releasing it again when it got it).
DWORD TryFromOtherThread(HANDLE mutex) {
  DWORD result = WAIT_FAILED;
  std::thread([&] {
    result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
  }).join();
  return result;
}

class MutexKinds : public SyncTest, public ::testing::WithParamInterface<const WCHAR*> {};

}  // namespace

TEST_P(MutexKinds, OwnerRecursesAndOthersWaitForTheLastRelease) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, GetParam());
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  std::thread([&] {
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_TIMEOUT);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(TryFromOtherThread(mutex), WAIT_OBJECT_0);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_P(MutexKinds, ThreadEndingAsOwnerAbandonsIt) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, GetParam());
  ASSERT_NE(mutex, nullptr);
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID m) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(m), 0); }, mutex, 0,
      nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, kLongWaitMs), WAIT_OBJECT_0);
  DWORD code = STILL_ACTIVE;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  ASSERT_EQ(code, WAIT_OBJECT_0);
  // Its end is visible at once, and only to the next owner.
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));

  // A waiter already blocked when a plain host thread ends as owner.
  std::atomic<bool> owned{false};
  std::thread owner([&] {
    WaitForSingleObject(mutex, 0);
    WaitForSingleObject(mutex, 0);
    owned = true;
    Sleep(kShortWaitMs);
  });
  while (!owned) Sleep(1);
  EXPECT_EQ(WaitForSingleObject(mutex, kLongWaitMs), WAIT_ABANDONED);
  owner.join();
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  CloseHandle(thread);
  CloseHandle(mutex);
}

TEST_P(MutexKinds, HandlesExcludeEachOtherUnderContention) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  const WCHAR* name = GetParam();
  HANDLE shared = CreateMutexW(nullptr, FALSE, name);
  ASSERT_NE(shared, nullptr);
  int counter = 0;  // deliberately unprotected but by the mutex
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      // Named: a handle per thread, as separate callers would have.
      HANDLE own = name[0] != 0 ? CreateMutexW(nullptr, FALSE, name) : shared;
      for (int round = 0; round < kRounds; ++round) {
        if (WaitForSingleObject(own, kLongWaitMs) != WAIT_OBJECT_0) return;
        int seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        ReleaseMutex(own);
      }
      if (own != shared) CloseHandle(own);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, kThreads * kRounds);
  CloseHandle(shared);
}

INSTANTIATE_TEST_SUITE_P(NamedAndUnnamed, MutexKinds, ::testing::Values(u"OnModuleFlash", u""));

TEST_F(SyncTest, NamesAreExactAndAnyTextWorks) {
  HANDLE first = CreateMutexW(nullptr, TRUE, u"Flash");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE again = CreateMutexW(nullptr, TRUE, u"Flash");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(TryFromOtherThread(again), WAIT_TIMEOUT);

  // Names that a careless file mapping would merge or turn into paths; long
  // ones differing only at the end are kept apart too.
  std::u16string longName(MAX_PATH, u'/');
  std::u16string longOther = longName;
  longOther.back() = u'x';
  std::vector<HANDLE> open;
  for (const std::u16string& name : {std::u16string(u"flash"), std::u16string(u"Fl/ash"), std::u16string(u"Fl%002Fash"),
                                     std::u16string(u".."), std::u16string(u"\\ \u00e4\U0001F600"), longName, longOther}) {
    open.push_back(CreateMutexW(nullptr, FALSE, name.c_str()));
    ASSERT_NE(open.back(), nullptr) << Utf16ToUtf8(name);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << Utf16ToUtf8(name);
    EXPECT_EQ(TryFromOtherThread(open.back()), WAIT_OBJECT_0);
  }
  for (HANDLE handle : open) CloseHandle(handle);
  std::u16string tooLong(MAX_PATH + 1, u'x');
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, tooLong.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_TRUE(ReleaseMutex(first));
  CloseHandle(again);
  CloseHandle(first);
}

TEST_F(SyncTest, RefusedInputFailsCleanly) {
  PlatformDetachModule();
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"OnModuleFlash"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  HANDLE local = CreateMutexW(nullptr, TRUE, nullptr);
  ASSERT_NE(local, nullptr);
  EXPECT_TRUE(ReleaseMutex(local));
  // A handle of another kind is no mutex and no thread.
  HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1, nullptr);
  EXPECT_EQ(WaitForSingleObject(section, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(section);
  CloseHandle(local);
  EXPECT_FALSE(ReleaseMutex(local));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}
