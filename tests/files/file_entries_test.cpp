#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <cstring>

#include "platform/host_entry.h"
#include "tests/files/files_fixture.h"

namespace {

using FileEntries = FilesTest;

constexpr const char* kAttributesName = "user.flashwright.attributes";

TEST_F(FileEntries, FoldersAreCreatedOnceAndRemovedOnlyWhenEmpty) {
  ASSERT_TRUE(CreateDirectoryW(u"\\Temp\\Logs", nullptr));
  EXPECT_EQ(GetFileAttributesW(u"\\temp\\logs"), FILE_ATTRIBUTE_DIRECTORY);
  for (LPCWSTR again : {u"\\TEMP\\LOGS", u"\\", u"\\Windows\\wince.nls"}) {
    EXPECT_EQ(Fails(CreateDirectoryW(again, nullptr)), ERROR_ALREADY_EXISTS) << Shown(again);
  }
  EXPECT_EQ(Fails(CreateDirectoryW(u"\\Temp\\No\\Logs", nullptr)), ERROR_PATH_NOT_FOUND);

  HostWrite(Host("Temp/Logs/a.log"), "a");
  EXPECT_EQ(Fails(RemoveDirectoryW(u"\\Temp\\Logs")), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(Fails(RemoveDirectoryW(u"\\Temp\\Logs\\a.log")), ERROR_DIRECTORY);
  EXPECT_EQ(Fails(RemoveDirectoryW(u"\\Temp\\Gone")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Fails(RemoveDirectoryW(u"\\")), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(DeleteFileW(u"\\Temp\\Logs")), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DeleteFileW(u"\\TEMP\\LOGS\\A.LOG"));
  EXPECT_EQ(Fails(DeleteFileW(u"\\Temp\\Logs\\a.log")), ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\Logs", FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Fails(RemoveDirectoryW(u"\\Temp\\Logs")), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\Logs", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(RemoveDirectoryW(u"\\temp\\logs"));
  EXPECT_FALSE(HostExists(Host("Temp/Logs")));
}

TEST_F(FileEntries, MovesKeepContentAndNeverOverwrite) {
  HostWrite(Host("Temp/a.txt"), "a");
  HostWrite(Host("Windows/b.txt"), "b");
  EXPECT_EQ(Fails(MoveFileW(u"\\Temp\\a.txt", u"\\Windows\\B.TXT")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(HostRead(Host("Windows/b.txt")), "b");
  EXPECT_EQ(Fails(MoveFileW(u"\\Temp\\none.txt", u"\\Temp\\c.txt")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Fails(MoveFileW(u"\\Temp\\a.txt", u"\\Missing\\a.txt")), ERROR_PATH_NOT_FOUND);

  ASSERT_TRUE(MoveFileW(u"\\TEMP\\A.TXT", u"\\usb hd\\Moved.txt"));
  EXPECT_FALSE(HostExists(Host("Temp/a.txt")));
  EXPECT_EQ(HostRead(Host("USB HD/Moved.txt")), "a");
  // A change of case alone renames on the host too.
  ASSERT_TRUE(MoveFileW(u"\\USB HD\\Moved.txt", u"\\USB HD\\MOVED.TXT"));
  EXPECT_TRUE(HostExists(Host("USB HD/MOVED.TXT")));
  EXPECT_FALSE(HostExists(Host("USB HD/Moved.txt")));

  // Folders move with what they hold, but not into themselves.
  ASSERT_TRUE(MoveFileW(u"\\USB HD", u"\\Temp\\Stick"));
  EXPECT_EQ(HostRead(Host("Temp/Stick/MOVED.TXT")), "a");
  EXPECT_NE(Fails(MoveFileW(u"\\Temp", u"\\Temp\\Stick\\Temp")), kSucceeded);
  EXPECT_TRUE(HostExists(Host("Temp/Stick/IMAGES")));
  EXPECT_EQ(Fails(MoveFileW(u"\\", u"\\Temp\\Root")), ERROR_ACCESS_DENIED);
}

TEST_F(FileEntries, AttributesRoundTripThroughTheHost) {
  HostWrite(Host("Temp/f.txt"), "f");
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesW(u"\\"), FILE_ATTRIBUTE_DIRECTORY);

  // Bits that are facts of the entry, not settable, are ignored.
  ASSERT_TRUE(SetFileAttributesW(u"\\TEMP\\F.TXT", kSettableFileAttributes | FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), kSettableFileAttributes);
  struct stat st;
  ASSERT_EQ(::stat(Host("Temp/f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u) << "READONLY is the host's write permission";

  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\f.txt", FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), FILE_ATTRIBUTE_HIDDEN);
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\f.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_LT(::getxattr(Host("Temp/f.txt").c_str(), kAttributesName, nullptr, 0), 0) << "left behind";
  ASSERT_EQ(::chmod(Host("Temp/f.txt").c_str(), 0444), 0);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), FILE_ATTRIBUTE_READONLY);

  ASSERT_TRUE(SetFileAttributesW(u"\\Windows", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(GetFileAttributesW(u"\\windows"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(Fails(SetFileAttributesW(u"\\Temp\\none", FILE_ATTRIBUTE_HIDDEN)), ERROR_FILE_NOT_FOUND);

  // Values we never write are not trusted.
  for (const char* value : {"junk", "0x", "0x2zz", "-1", "0x10002"}) {
    ASSERT_EQ(::setxattr(Host("Temp/f.txt").c_str(), kAttributesName, value, strlen(value), 0), 0);
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), FILE_ATTRIBUTE_READONLY) << value;
  }
}

TEST_F(FileEntries, WithoutExtendedAttributesOnlyReadOnlyIsKept) {
  HostEntryRefuseExtendedAttributes(true);
  HostWrite(Host("Temp/f.txt"), "f");
  EXPECT_TRUE(SetFileAttributesW(u"\\Temp\\f.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(SetFileAttributesW(u"\\Temp", FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetFileAttributesW(u"\\Temp"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(Fails(Open(u"\\Temp\\n.txt", GENERIC_WRITE, CREATE_NEW, 0, FILE_ATTRIBUTE_SYSTEM)), kSucceeded);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\n.txt"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FileEntries, FreeSpaceIsThatOfTheHostVolume) {
  struct statvfs host;
  ASSERT_EQ(::statvfs(Host("").c_str(), &host), 0);
  for (LPCWSTR path : {u"\\", u"\\usb hd\\images\\", u"\\Windows\\wince.nls", static_cast<LPCWSTR>(nullptr)}) {
    ULARGE_INTEGER caller = {}, total = {}, free = {};
    ASSERT_TRUE(GetDiskFreeSpaceExW(path, &caller, &total, &free));
    EXPECT_EQ(total.QuadPart, static_cast<uint64_t>(host.f_blocks) * host.f_frsize);
    EXPECT_GT(free.QuadPart, 0u);
    EXPECT_LE(free.QuadPart, total.QuadPart);
    EXPECT_LE(caller.QuadPart, free.QuadPart);
  }
  EXPECT_TRUE(GetDiskFreeSpaceExW(u"\\Temp", nullptr, nullptr, nullptr));
  EXPECT_EQ(Fails(GetDiskFreeSpaceExW(u"\\Nowhere", nullptr, nullptr, nullptr)), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Fails(GetDiskFreeSpaceExW(u"\\Nowhere\\Deeper", nullptr, nullptr, nullptr)), ERROR_PATH_NOT_FOUND);
}

}  // namespace
