#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/file_mapping.h"
#include "tests/files/files_fixture.h"

namespace {

using FileIo = FilesTest;

uint64_t Ticks(const FILETIME& time) { return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime; }

TEST_F(FileIo, WriteSeekReadRoundTrip) {
  HANDLE file = Open(u"\\Temp\\data.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ModuleWrite(file, "hello world"));
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(file, &high), 11u);
  EXPECT_EQ(high, 0u);
  EXPECT_EQ(SetFilePointer(file, -5, nullptr, FILE_END), 6u);
  char buffer[32];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &got, nullptr));
  EXPECT_EQ(std::string(buffer, got), "world");
  got = 99;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), &got, nullptr));  // at the end: nothing, no error
  EXPECT_EQ(got, 0u);

  EXPECT_EQ(SetFilePointer(file, -8, nullptr, FILE_CURRENT), 3u);
  ASSERT_TRUE(ModuleWrite(file, "P"));
  // Before the start or by an unknown method is refused, the position kept.
  EXPECT_EQ(SetFilePointer(file, -10, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 4u);

  // Writing past the end leaves zeros in the gap; SetEndOfFile cuts and
  // extends at the position.
  EXPECT_EQ(SetFilePointer(file, 14, nullptr, FILE_BEGIN), 14u);
  ASSERT_TRUE(ModuleWrite(file, "!"));
  EXPECT_EQ(HostRead(Host("Temp/data.bin")), std::string("helPo world\0\0\0!", 15));
  SetFilePointer(file, 4, nullptr, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file));
  SetFilePointer(file, 6, nullptr, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(file));
  CloseHandle(file);
  EXPECT_EQ(HostRead(Host("Temp/data.bin")), std::string("helP\0\0", 6));
}

TEST_F(FileIo, PositionsBeyondFourGigabytesNeedTheHighHalf) {
  HANDLE file = Open(u"\\Temp\\big.bin", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(file, 16, &high, FILE_BEGIN), 16u);
  ASSERT_TRUE(ModuleWrite(file, "x"));  // sparse on the host
  DWORD sizeHigh = 0;
  EXPECT_EQ(GetFileSize(file, &sizeHigh), 17u);
  EXPECT_EQ(sizeHigh, 1u);
  // The low half alone cannot show where this lands.
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // With a high half the distance is 64 bits: -1 is before the start, while
  // high 0 and low all ones is a real position told apart by the cleared error.
  high = -1;
  EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  high = 0;
  EXPECT_EQ(SetFilePointer(file, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(file);
}

TEST_F(FileIo, CreationDispositionsAndTheirLastErrors) {
  struct Case {
    DWORD creation;
    bool exists;
    DWORD error;               // kSucceeded: opened with last error 0
    const char* contentAfter;  // null: no file afterwards
  };
  const std::vector<Case> cases = {
      {CREATE_NEW, false, kSucceeded, ""},           {CREATE_NEW, true, ERROR_FILE_EXISTS, "old"},
      {CREATE_ALWAYS, false, kSucceeded, ""},        {CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
      {OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr}, {OPEN_EXISTING, true, kSucceeded, "old"},
      {OPEN_ALWAYS, false, kSucceeded, ""},          {OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
      {TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr}, {TRUNCATE_EXISTING, true, kSucceeded, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "disposition " << c.creation << (c.exists ? " on a file" : " on nothing"));
    ::unlink(Host("Temp/d.txt").c_str());
    ::unlink(Host("Temp/D.TXT").c_str());
    if (c.exists) HostWrite(Host("Temp/d.txt"), "old");
    SetLastError(ERROR_INVALID_FUNCTION);
    HANDLE file = Open(u"\\Temp\\D.TXT", GENERIC_READ | GENERIC_WRITE, c.creation);
    bool opened = file != INVALID_HANDLE_VALUE;
    DWORD error = GetLastError();
    if (opened) CloseHandle(file);
    // The existing file keeps its host name; a new one takes the given one.
    std::string host = Host(c.exists ? "Temp/d.txt" : "Temp/D.TXT");
    if (c.error == ERROR_ALREADY_EXISTS) {
      EXPECT_TRUE(opened);  // reported, yet the handle is returned
    } else {
      EXPECT_EQ(opened, c.error == kSucceeded);
    }
    EXPECT_EQ(error, c.error == kSucceeded ? ERROR_SUCCESS : c.error);
    EXPECT_EQ(HostExists(host), c.contentAfter != nullptr);
    if (c.contentAfter != nullptr) {
      EXPECT_EQ(HostRead(host), c.contentAfter);
    }
  }
  EXPECT_EQ(Fails(Open(u"\\Temp\\x", GENERIC_WRITE, 0)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(Open(u"\\Temp\\x", GENERIC_WRITE, 6)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(Open(u"\\Temp\\d.txt", GENERIC_READ, TRUNCATE_EXISTING)), ERROR_INVALID_PARAMETER);
  for (LPCWSTR folder : {u"\\Temp", u"\\", u"\\usb hd\\images"}) {
    for (DWORD creation : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS, TRUNCATE_EXISTING}) {
      EXPECT_EQ(Fails(Open(folder, GENERIC_READ | GENERIC_WRITE, creation)), ERROR_ACCESS_DENIED) << Shown(folder);
    }
  }
}

TEST_F(FileIo, HandlesOnlyDoWhatTheyWereOpenedFor) {
  HostWrite(Host("Temp/a.txt"), "abc");
  HANDLE reader = Open(u"\\Temp\\a.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
  HANDLE writer = Open(u"\\Temp\\a.txt", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
  char buffer[4];
  DWORD done = 7;
  FILETIME time = {1, 1};
  EXPECT_EQ(Fails(WriteFile(reader, "x", 1, &done, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(Fails(SetEndOfFile(reader)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(SetFileTime(reader, nullptr, nullptr, &time)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(ReadFile(writer, buffer, sizeof(buffer), &done, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(ReadFile(reader, nullptr, 1, &done, nullptr)), ERROR_INVALID_PARAMETER);
  // Each handle has a position of its own.
  ASSERT_TRUE(ModuleWrite(writer, "XY"));
  ASSERT_TRUE(ReadFile(reader, buffer, 3, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "XYc");
  CloseHandle(reader);
  CloseHandle(writer);
}

// A section over a file shows the file's bytes for reading only, past the
// first allocation granule too, and outlives the handle it was made from.
TEST_F(FileIo, FileSectionsShowTheFileForReading) {
  std::string content(kAllocationGranularity + 10, 'a');
  content.replace(kAllocationGranularity, 4, "view");
  HostWrite(Host("Temp/image.bin"), content);
  HostWrite(Host("Temp/empty.bin"), "");
  HANDLE reader = Open(u"\\Temp\\image.bin", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
  HANDLE writer = Open(u"\\Temp\\image.bin", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
  HANDLE empty = Open(u"\\Temp\\empty.bin", GENERIC_READ, OPEN_EXISTING);
  auto refusal = [](HANDLE file, DWORD protect, DWORD size, LPCWSTR name) {
    return Fails(CreateFileMappingW(file, nullptr, protect, 0, size, name) != nullptr);
  };
  EXPECT_EQ(refusal(writer, PAGE_READONLY, 0, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(refusal(reader, PAGE_READWRITE, 0, nullptr), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(refusal(reader, PAGE_READONLY, 0, u"shared"), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(refusal(reader, PAGE_READONLY, static_cast<DWORD>(content.size() + 1), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(refusal(empty, PAGE_READONLY, 0, nullptr), ERROR_FILE_INVALID);
  HANDLE section = CreateFileMappingW(reader, nullptr, PAGE_READONLY, 0, 0, nullptr);
  ASSERT_NE(section, nullptr);
  CloseHandle(reader);
  CloseHandle(writer);
  CloseHandle(empty);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  auto* tail = static_cast<const char*>(MapViewOfFile(section, FILE_MAP_READ, 0, kAllocationGranularity, 0));
  CloseHandle(section);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(std::string(tail, 10), "viewaaaaaa");
  EXPECT_TRUE(UnmapViewOfFile(tail));
}

TEST_F(FileIo, ReadOnlyFilesRefuseChangeButTheirCreatorMayWrite) {
  HANDLE creator = Open(u"\\Temp\\ro.txt", GENERIC_WRITE, CREATE_NEW, 0, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(ModuleWrite(creator, "keep"));
  CloseHandle(creator);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\ro.txt"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  for (DWORD creation : {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING, CREATE_ALWAYS}) {
    EXPECT_EQ(Fails(Open(u"\\Temp\\ro.txt", GENERIC_WRITE, creation)), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(Fails(Open(u"\\Temp\\ro.txt", GENERIC_READ, CREATE_ALWAYS)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(DeleteFileW(u"\\Temp\\ro.txt")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(ModuleRead(u"\\Temp\\ro.txt"), "keep");

  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\ro.txt", FILE_ATTRIBUTE_NORMAL));
  // Replacing the file replaces its attributes.
  EXPECT_EQ(Fails(Open(u"\\Temp\\ro.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, FILE_ATTRIBUTE_ARCHIVE)), kSucceeded);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\ro.txt"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_TRUE(DeleteFileW(u"\\Temp\\ro.txt"));
}

TEST_F(FileIo, ShareModesBetweenHandles) {
  HostWrite(Host("Temp/s.txt"), "s");
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE exclusive = Open(u"\\Temp\\s.txt", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Fails(Open(u"\\TEMP\\S.TXT", GENERIC_READ, OPEN_EXISTING, kShareAll)), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_WRITE, CREATE_ALWAYS, kShareAll)), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(HostRead(Host("Temp/s.txt")), "s") << "a refused CREATE_ALWAYS cut the file";
  EXPECT_EQ(Fails(DeleteFileW(u"\\Temp\\s.txt")), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Fails(MoveFileW(u"\\Temp\\s.txt", u"\\Temp\\t.txt")), ERROR_SHARING_VIOLATION);
  // Opening without access asks for nothing and conflicts with nothing.
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", 0, OPEN_EXISTING, 0)), kSucceeded);
  CloseHandle(exclusive);

  HANDLE reader = Open(u"\\Temp\\s.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ)), kSucceeded);
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_WRITE, OPEN_EXISTING, kShareAll)), ERROR_SHARING_VIOLATION);
  // A newcomer that will not share reading cannot join an open reader.
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_READ, OPEN_EXISTING, 0)), ERROR_SHARING_VIOLATION);
  CloseHandle(reader);
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_WRITE, OPEN_EXISTING, 0)), kSucceeded);
}

// Another program on the module (a second copy of this one, say) holds the
// file open without sharing it; it ends without closing.
TEST_F(FileIo, ShareModesHoldAcrossProcesses) {
  HostWrite(Host("Temp/s.txt"), "s");
  HostWrite(Host("Temp/n.txt"), "n");
  int toChild[2], toParent[2];
  ASSERT_EQ(::pipe(toChild), 0);
  ASSERT_EQ(::pipe(toParent), 0);
  pid_t child = ::fork();
  if (child == 0) {
    HANDLE held = Open(u"\\Temp\\s.txt", GENERIC_WRITE, OPEN_EXISTING, 0);
    char byte = held != INVALID_HANDLE_VALUE ? 'o' : 'x';
    (void)!::write(toParent[1], &byte, 1);
    (void)!::read(toChild[0], &byte, 1);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(toParent[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'o');
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_READ, OPEN_EXISTING, kShareAll)), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Fails(DeleteFileW(u"\\Temp\\s.txt")), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Fails(MoveFileExW(u"\\Temp\\n.txt", u"\\Temp\\s.txt", MOVEFILE_REPLACE_EXISTING)),
            ERROR_SHARING_VIOLATION);
  (void)!::write(toChild[1], "x", 1);
  int status = 0;
  ::waitpid(child, &status, 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) ::close(fd);
  // Its end let go of the file.
  EXPECT_EQ(Fails(Open(u"\\Temp\\s.txt", GENERIC_READ, OPEN_EXISTING, 0)), kSucceeded);
}

TEST_F(FileIo, ReplacingMoveTakesTheTargetsPlaceInOneStep) {
  HostWrite(Host("Temp/new.txt"), "new");
  HostWrite(Host("Temp/Old.txt"), "old");
  EXPECT_EQ(Fails(MoveFileW(u"\\Temp\\new.txt", u"\\Temp\\old.txt")), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\old.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Fails(MoveFileExW(u"\\Temp\\new.txt", u"\\Temp\\old.txt", MOVEFILE_REPLACE_EXISTING)),
            ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\old.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(MoveFileExW(u"\\Temp\\new.txt", u"\\Temp\\old.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(HostRead(Host("Temp/Old.txt")), "new") << "under the name the folder already had";
  EXPECT_FALSE(std::filesystem::exists(Host("Temp/new.txt")));
}

TEST_F(FileIo, FullDiskReportsWhatWasWritten) {
  constexpr rlim_t kLimit = 16 * 1024;
  HANDLE file = Open(u"\\Temp\\full.bin", GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  // The host's file size limit is the cheapest full disk.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
  struct rlimit limited = {kLimit, saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::vector<char> block(4 * kLimit, 'z');
  DWORD done = 0, doneAtLimit = 7;
  DWORD error = Fails(WriteFile(file, block.data(), static_cast<DWORD>(block.size()), &done, nullptr));
  DWORD errorAtLimit = Fails(WriteFile(file, block.data(), 1, &doneAtLimit, nullptr));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  CloseHandle(file);
  EXPECT_EQ(error, ERROR_DISK_FULL);
  EXPECT_EQ(done, kLimit);
  EXPECT_EQ(errorAtLimit, ERROR_DISK_FULL);
  EXPECT_EQ(doneAtLimit, 0u);
}

TEST_F(FileIo, FileTimesRoundTripAndMatchTheHostClock) {
  HANDLE file = Open(u"\\Temp\\t.txt", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const FILETIME y2k = {0x256D4000, 0x01BF53EB};        // 2000-01-01 00:00:00 UTC
  const FILETIME precise = {0x12345677, 0x01D5C0E1};    // every 100-ns digit in use
  ASSERT_TRUE(SetFileTime(file, &y2k, &precise, &y2k));
  FILETIME creation = {}, access = {}, write = {};
  ASSERT_TRUE(GetFileTime(file, &creation, &access, &write));
  EXPECT_EQ(Ticks(write), Ticks(y2k));
  EXPECT_EQ(Ticks(access), Ticks(precise));
  EXPECT_EQ(Ticks(creation), Ticks(y2k)) << "the creation time is the write time";
  struct stat st;
  ASSERT_EQ(::stat(Host("Temp/t.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 946684800);
  EXPECT_EQ(st.st_atim.tv_sec, 1577910098);
  EXPECT_EQ(st.st_atim.tv_nsec, 289215100);
  // Null leaves a time alone.
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &precise));
  ASSERT_TRUE(GetFileTime(file, nullptr, &access, &write));
  EXPECT_EQ(Ticks(access), Ticks(precise));
  EXPECT_EQ(Ticks(write), Ticks(precise));
  CloseHandle(file);
}

TEST_F(FileIo, HandleMisuseIsRefusedNotFatal) {
  HostWrite(Host("Temp/h.txt"), "h");
  HANDLE file = Open(u"\\Temp\\h.txt", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"\\Temp\\*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  char buffer[4];
  DWORD done = 0;
  EXPECT_EQ(Fails(ReadFile(search, buffer, sizeof(buffer), &done, nullptr)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Fails(FindNextFileW(file, &data)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Fails(FindClose(file)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetFileSize(search, nullptr), INVALID_FILE_SIZE);
  EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), &done, nullptr)) << "the wrong FindClose closed the file";
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(FindClose(search));
  for (HANDLE stale : {file, search, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
    EXPECT_EQ(Fails(CloseHandle(stale)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Fails(ReadFile(stale, buffer, sizeof(buffer), &done, nullptr)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Fails(WriteFile(stale, buffer, 1, &done, nullptr)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetFilePointer(stale, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(Fails(GetFileTime(stale, nullptr, nullptr, nullptr)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Fails(FindClose(stale)), ERROR_INVALID_HANDLE);
  }
}

}  // namespace
