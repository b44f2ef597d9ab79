// The file calls on the flash disk's mounted volume: what programs do with
// "\Hard Disk" lands in the FAT volume on the flash, with the same errors as
// anywhere else, and stays there for the next program.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/text.h"
#include "tests/storage_module/storage_fixture.h"
#include "tests/support/fat_craft.h"

namespace {

using VolumeFiles = StorageTest;

HANDLE Open(LPCWSTR name, DWORD access, DWORD creation, DWORD share = 0) {
  return CreateFileW(name, access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ReadAll(LPCWSTR name) {
  HANDLE file = Open(name, GENERIC_READ, OPEN_EXISTING);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  std::string text(100000, '\0');
  DWORD done = 0;
  EXPECT_TRUE(ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr));
  CloseHandle(file);
  text.resize(done);
  return text;
}

uint64_t FreeBytes() {
  ULARGE_INTEGER free{};
  EXPECT_TRUE(GetDiskFreeSpaceExW(u"\\Hard Disk\\Logs", nullptr, nullptr, &free));
  return free.QuadPart;
}

TEST_F(VolumeFiles, FilesAndFoldersLiveInTheVolumeOnTheFlash) {
  uint64_t freeBefore = FreeBytes();
  ASSERT_TRUE(CreateDirectoryW(u"\\Hard Disk\\Logs", nullptr));
  HANDLE file = Open(u"\\Hard Disk\\Logs\\Measurement run of March.txt", GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string text(40000, 'x');
  for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('a' + i % 23);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr));
  EXPECT_EQ(done, text.size());
  EXPECT_EQ(SetFilePointer(file, 30000, nullptr, FILE_BEGIN), 30000u);
  ASSERT_TRUE(SetEndOfFile(file));
  EXPECT_EQ(GetFileSize(file, nullptr), 30000u);
  const FILETIME written = {0x5A5A0000, 0x01D00000};
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
  // Held open: the file cannot be deleted or moved, even by another program.
  EXPECT_EQ(Fails(DeleteFileW(u"\\HARD DISK\\logs\\measurement run of march.txt")), ERROR_SHARING_VIOLATION);
  CloseHandle(file);
  EXPECT_LT(FreeBytes(), freeBefore - 29000);

  // The next program finds it as it was left.
  PlatformDetachModule();
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  EXPECT_EQ(ReadAll(u"\\Hard Disk\\Logs\\Measurement run of March.txt"), text.substr(0, 30000));
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(u"\\Hard Disk\\Logs\\*.txt", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(std::u16string(found.cFileName) == u"Measurement run of March.txt");
  EXPECT_EQ(found.nFileSizeLow, 30000u);
  EXPECT_EQ(found.ftLastWriteTime.dwHighDateTime, written.dwHighDateTime);
  EXPECT_EQ(Fails(FindNextFileW(search, &found)), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(search));

  ASSERT_TRUE(MoveFileW(u"\\Hard Disk\\Logs\\Measurement run of March.txt", u"\\Hard Disk\\Logs\\old.txt"));
  ASSERT_TRUE(SetFileAttributesW(u"\\Hard Disk\\Logs\\old.txt", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\Logs\\old.txt"), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Fails(DeleteFileW(u"\\Hard Disk\\Logs\\old.txt")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(RemoveDirectoryW(u"\\Hard Disk\\Logs")), ERROR_DIR_NOT_EMPTY);
  ASSERT_TRUE(SetFileAttributesW(u"\\Hard Disk\\Logs\\old.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(u"\\Hard Disk\\Logs\\old.txt"));
  EXPECT_TRUE(RemoveDirectoryW(u"\\Hard Disk\\Logs"));
  EXPECT_EQ(GetFileAttributesW(u"\\Hard Disk\\Logs"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(VolumeFiles, FailuresGiveTheUsualErrors) {
  const struct {
    DWORD (*call)();
    DWORD error;
  } cases[] = {
      {[] { return Fails(Open(u"\\Hard Disk\\missing.txt", GENERIC_READ, OPEN_EXISTING)); }, ERROR_FILE_NOT_FOUND},
      {[] { return Fails(Open(u"\\Hard Disk\\No Folder\\a.txt", GENERIC_WRITE, CREATE_ALWAYS)); },
       ERROR_PATH_NOT_FOUND},
      {[] { return Fails(Open(u"\\Hard Disk\\startup.cfg", GENERIC_WRITE, CREATE_NEW)); }, ERROR_FILE_EXISTS},
      {[] { return Fails(Open(u"\\Hard Disk\\Documents", GENERIC_READ, OPEN_EXISTING)); }, ERROR_ACCESS_DENIED},
      {[] { return Fails(CreateDirectoryW(u"\\Hard Disk\\Documents", nullptr)); }, ERROR_ALREADY_EXISTS},
      {[] { return Fails(CreateDirectoryW(u"\\Hard Disk", nullptr)); }, ERROR_ALREADY_EXISTS},
      {[] { return Fails(Open(u"\\Hard Disk\\bad|name", GENERIC_WRITE, CREATE_ALWAYS)); }, ERROR_INVALID_NAME},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.error);
  // The factory's files are there, read through the same calls.
  EXPECT_EQ(ReadAll(u"\\Hard Disk\\startup.cfg").size(), 96u);
}

// A program that lists a folder puts each name into a path of its own: one
// the volume holds but FAT cannot ("..\x", or a short name with a '/') must
// not come back as a name.
TEST_F(VolumeFiles, SearchesNeverHandOutNamesFatCannotHold) {
  for (LPCWSTR name : {u"\\Hard Disk\\first crafted name.txt", u"\\Hard Disk\\second crafted name.txt"}) {
    EXPECT_EQ(Fails(Open(name, GENERIC_WRITE, CREATE_NEW)), kSucceeded);
  }
  PlatformDetachModule();
  EditModuleVolume(dir_, [](FatVolume* v) {
    CraftEntryName(v, u"first crafted name.txt", u"..\\..\\Windows");
    CraftEntryName(v, u"second crafted name.txt", u"", "A/B     TXT");
  });
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;

  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW(u"\\Hard Disk\\*", &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    names.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  EXPECT_TRUE(FindClose(search));
  // The first goes by its alias, which opens it; the second has no name.
  EXPECT_EQ(std::count(names.begin(), names.end(), u"FIRSTC~1.TXT"), 1);
  for (const std::u16string& name : names) {
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find_first_of(u"\\/"), std::u16string::npos) << Utf16ToUtf8(name);
    EXPECT_NE(name, u"..");
  }
  EXPECT_EQ(Fails(Open(u"\\Hard Disk\\FIRSTC~1.TXT", GENERIC_READ, OPEN_EXISTING)), kSucceeded);
  EXPECT_EQ(Fails(Open(u"\\Hard Disk\\A/B.TXT", GENERIC_READ, OPEN_EXISTING)), ERROR_PATH_NOT_FOUND);
}

}  // namespace
