#include <unistd.h>

#include <vector>

#include "tests/files/files_fixture.h"

namespace {

using PathResolution = FilesTest;

TEST_F(PathResolution, SpellingsOfOnePathReachTheSameFile) {
  HostWrite(Host("Windows/wince.nls"), "nls");
  HostWrite(Host("Temp/\xC3\x84rger.txt"), "umlaut");  // "Ärger.txt"
  for (LPCWSTR name : {u"\\WINDOWS\\WINCE.NLS", u"/windows/Wince.Nls", u"\\\\Windows\\\\\\wince.nls",
                       u"\\.\\Windows\\.\\wince.nls", u"Windows\\wince.nls", u"\\Temp\\..\\Windows\\wince.nls"}) {
    EXPECT_EQ(ModuleRead(name), "nls") << Shown(name);
  }
  EXPECT_EQ(ModuleRead(u"\\temp\\\u00E4RGER.TXT"), "umlaut");
  // New names keep the spelling given; existing folders keep theirs.
  EXPECT_EQ(Fails(Open(u"\\usb hd\\images\\New.Bin", GENERIC_WRITE, CREATE_NEW)), kSucceeded);
  EXPECT_TRUE(HostExists(Host("USB HD/IMAGES/New.Bin")));
}

TEST_F(PathResolution, ExactSpellingWinsOverOtherCases) {
  HostWrite(Host("Temp/Data.txt"), "upper");
  HostWrite(Host("Temp/data.txt"), "lower");
  EXPECT_EQ(ModuleRead(u"\\Temp\\Data.txt"), "upper");
  EXPECT_EQ(ModuleRead(u"\\Temp\\data.txt"), "lower");
}

TEST_F(PathResolution, FailuresNameTheFault) {
  std::u16string longest = u"\\Temp\\" + std::u16string(253, u'n');  // MAX_PATH - 1 units
  EXPECT_EQ(Fails(Open(longest.c_str(), GENERIC_WRITE, CREATE_NEW)), kSucceeded);
  std::u16string tooLong = longest + u"n";
  std::u16string tooManyBytes = u"\\Temp\\" + std::u16string(100, u'\u20AC');  // 300 bytes of UTF-8
  std::u16string unpaired = std::u16string(u"\\Temp\\x") + char16_t{0xD800} + u"y";
  struct Case {
    std::u16string path;
    DWORD error;
  };
  const std::vector<Case> cases = {
      {u"\\Temp\\nothing.txt", ERROR_FILE_NOT_FOUND},     {u"\\NoFolder\\Deeper\\x", ERROR_PATH_NOT_FOUND},
      {u"\\Windows\\wince.nls\\x", ERROR_PATH_NOT_FOUND}, {u"", ERROR_PATH_NOT_FOUND},
      {tooLong, ERROR_FILENAME_EXCED_RANGE},              {tooManyBytes, ERROR_FILENAME_EXCED_RANGE},
      {unpaired, ERROR_INVALID_NAME},                     {u"\\T*\\x", ERROR_INVALID_NAME},
      {u"\\..\\x", ERROR_ACCESS_DENIED},                  {u"\\Temp\\..\\..\\root\\Temp\\x", ERROR_ACCESS_DENIED},
  };
  std::vector<Case> all = cases;
  for (char16_t bad : std::u16string(u"<>:\"|?*\t")) all.push_back({u"\\Temp\\a" + std::u16string(1, bad), ERROR_INVALID_NAME});
  for (const Case& c : all) {
    // Creating where possible, so nothing can be made where it must not be.
    DWORD creation = c.error == ERROR_FILE_NOT_FOUND ? OPEN_EXISTING : CREATE_NEW;
    EXPECT_EQ(Fails(Open(c.path.c_str(), GENERIC_WRITE, creation)), c.error) << Shown(c.path.c_str());
    EXPECT_EQ(GetFileAttributesW(c.path.c_str()), INVALID_FILE_ATTRIBUTES);
  }
  EXPECT_EQ(Fails(Open(nullptr, GENERIC_READ, OPEN_EXISTING)), ERROR_INVALID_PARAMETER);
  // The module folder above the root was left alone by the ".." cases.
  EXPECT_FALSE(HostExists(moduleDir_ + "/x"));
  EXPECT_FALSE(HostExists(Host("Temp/x")));

  // A buffer without any terminator: the sanitizer catches a read past it.
  std::vector<WCHAR> unterminated(MAX_PATH, u'a');
  EXPECT_EQ(Fails(Open(unterminated.data(), GENERIC_READ, OPEN_EXISTING)), ERROR_FILENAME_EXCED_RANGE);
}

class SymbolicLinks : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    outside_ = MakeTempDir("fwoutside");
    HostWrite(outside_ + "/secret.txt", "secret");
    ASSERT_EQ(::symlink(outside_.c_str(), Host("Temp/link").c_str()), 0);
    ASSERT_EQ(::symlink((outside_ + "/secret.txt").c_str(), Host("Temp/filelink").c_str()), 0);
    // A link that stays inside the root is refused all the same.
    ASSERT_EQ(::symlink(Host("Windows").c_str(), Host("Temp/inside").c_str()), 0);
    HostWrite(Host("Temp/plain.txt"), "plain");
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(outside_, ec);
    FilesTest::TearDown();
  }
  std::string outside_;
};

TEST_F(SymbolicLinks, AreRefusedWhereverTheyAppearAndNothingOutsideIsTouched) {
  for (LPCWSTR path : {u"\\Temp\\link\\secret.txt", u"\\TEMP\\LINK\\SECRET.TXT", u"\\Temp\\filelink",
                       u"\\Temp\\inside\\wince.nls", u"\\Temp\\link\\new.txt"}) {
    EXPECT_EQ(Fails(Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS)), ERROR_ACCESS_DENIED) << Shown(path);
    EXPECT_EQ(Fails(Open(path, GENERIC_WRITE, CREATE_ALWAYS)), ERROR_ACCESS_DENIED) << Shown(path);
    EXPECT_EQ(Fails(SetFileAttributesW(path, FILE_ATTRIBUTE_READONLY)), ERROR_ACCESS_DENIED) << Shown(path);
    EXPECT_EQ(Fails(DeleteFileW(path)), ERROR_ACCESS_DENIED) << Shown(path);
  }
  EXPECT_NE(Fails(CreateDirectoryW(u"\\Temp\\link\\made", nullptr)), kSucceeded);
  EXPECT_NE(Fails(MoveFileW(u"\\Temp\\plain.txt", u"\\Temp\\link\\plain.txt")), kSucceeded);
  EXPECT_NE(Fails(MoveFileW(u"\\Temp\\filelink", u"\\Temp\\renamed")), kSucceeded);
  WIN32_FIND_DATAW data;
  EXPECT_EQ(Fails(FindFirstFileW(u"\\Temp\\link\\*", &data)), ERROR_ACCESS_DENIED);
  // Searches leave links out.
  HANDLE search = FindFirstFileW(u"\\Temp\\*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(data.cFileName), u"plain.txt");
  EXPECT_FALSE(FindNextFileW(search, &data));
  FindClose(search);

  EXPECT_EQ(HostRead(outside_ + "/secret.txt"), "secret");
  struct stat st;
  ASSERT_EQ(::stat((outside_ + "/secret.txt").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
  std::error_code ec;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside_, ec), {}), 1);
  EXPECT_TRUE(HostExists(Host("Temp/filelink")));
  EXPECT_TRUE(HostExists(Host("Temp/plain.txt")));
}

// A file the host hard-linked to one outside the module: the module's name
// may be read and replaced, but no write through it reaches the outside file.
TEST_F(SymbolicLinks, HardLinkedFilesAreNeverWrittenThrough) {
  ASSERT_EQ(::link((outside_ + "/secret.txt").c_str(), Host("Temp/hard.bin").c_str()), 0);
  constexpr const WCHAR* kHard = u"\\Temp\\hard.bin";
  for (DWORD creation : {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
    EXPECT_EQ(Fails(Open(kHard, GENERIC_READ | GENERIC_WRITE, creation)), ERROR_ACCESS_DENIED) << creation;
  }
  EXPECT_EQ(Fails(SetFileAttributesW(kHard, FILE_ATTRIBUTE_READONLY)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(Open(kHard, GENERIC_READ, OPEN_EXISTING)), kSucceeded);
  HANDLE file = Open(kHard, GENERIC_WRITE, CREATE_ALWAYS);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, "backup", 6, &written, nullptr));
  CloseHandle(file);
  EXPECT_EQ(HostRead(Host("Temp/hard.bin")), "backup");
  EXPECT_EQ(HostRead(outside_ + "/secret.txt"), "secret");
  struct stat st;
  ASSERT_EQ(::stat((outside_ + "/secret.txt").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);
}

TEST_F(PathResolution, HostOdditiesNeitherHangNorShow) {
  ASSERT_EQ(::mkfifo(Host("Temp/pipe").c_str(), 0666), 0);
  EXPECT_EQ(Fails(Open(u"\\Temp\\pipe", GENERIC_READ, OPEN_EXISTING)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(Open(u"\\Temp\\pipe\\x", GENERIC_READ, OPEN_EXISTING)), ERROR_ACCESS_DENIED);
  // A host name that is not UTF-8 has no spelling on the module.
  HostWrite(Host("Temp/bad\xFF.txt"), "x");
  EXPECT_EQ(Fails(Open(u"\\Temp\\bad\uFFFD.txt", GENERIC_READ, OPEN_EXISTING)), ERROR_FILE_NOT_FOUND);
  PlatformDetachModule();
  EXPECT_EQ(GetFileAttributesW(u"\\Windows"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
