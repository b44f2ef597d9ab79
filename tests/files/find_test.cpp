#include <chrono>
#include <map>
#include <set>

#include "tests/files/files_fixture.h"

namespace {

class Find : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    for (const char* name : {"alpha.txt", "Beta.TXT", "gamma.bin", "noext"}) HostWrite(Host("Temp/") + name, name);
    ASSERT_EQ(::mkdir(Host("Temp/Sub").c_str(), 0755), 0);
  }

  // Every entry a search reports, checking the search ends properly.
  static std::map<std::u16string, WIN32_FIND_DATAW> Search(LPCWSTR pattern) {
    std::map<std::u16string, WIN32_FIND_DATAW> found;
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
      EXPECT_TRUE(found.emplace(data.cFileName, data).second) << "reported twice";
    } while (FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_EQ(Fails(FindNextFileW(search, &data)), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(search));
    return found;
  }

  static std::set<std::u16string> Names(LPCWSTR pattern) {
    std::set<std::u16string> names;
    for (const auto& [name, data] : Search(pattern)) names.insert(name);
    return names;
  }
};

using Set = std::set<std::u16string>;

TEST_F(Find, PatternsMatchWithoutRegardToCase) {
  const Set everything = {u"alpha.txt", u"Beta.TXT", u"gamma.bin", u"noext", u"Sub"};
  EXPECT_EQ(Names(u"\\Temp\\*"), everything);
  EXPECT_EQ(Names(u"\\Temp\\*.*"), everything);
  EXPECT_EQ(Names(u"/temp/*.TXT"), (Set{u"alpha.txt", u"Beta.TXT"}));
  EXPECT_EQ(Names(u"\\Temp\\?ETA.*"), (Set{u"Beta.TXT"}));
  EXPECT_EQ(Names(u"\\Temp\\*a*a*"), (Set{u"alpha.txt", u"gamma.bin"}));
  EXPECT_EQ(Names(u"\\Temp\\noext.*"), (Set{u"noext"}));
  EXPECT_EQ(Names(u"\\Temp\\?????"), (Set{u"noext"}));
  EXPECT_EQ(Names(u"\\Temp\\sub"), (Set{u"Sub"}));
  Set root = Names(u"\\*");
  EXPECT_TRUE(root.count(u"Windows") && root.count(u"USB HD") && root.count(u"Temp"));
  EXPECT_EQ(root.count(u".") + root.count(u".."), 0u);
}

TEST_F(Find, NothingFoundIsAnErrorNotAnEmptySearch) {
  WIN32_FIND_DATAW data;
  for (LPCWSTR pattern : {u"\\Temp\\*.xyz", u"\\Temp\\Sub\\*", u"\\Temp\\alpha.txt?", u"\\"}) {
    EXPECT_EQ(Fails(FindFirstFileW(pattern, &data)), ERROR_FILE_NOT_FOUND) << Shown(pattern);
  }
  EXPECT_EQ(Fails(FindFirstFileW(u"\\Nowhere\\*", &data)), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Fails(FindFirstFileW(u"\\Temp\\alpha.txt\\*", &data)), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Fails(FindFirstFileW(u"\\..\\*", &data)), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Fails(FindFirstFileW(u"\\Temp\\*", nullptr)), ERROR_INVALID_PARAMETER);
}

TEST_F(Find, ReportsWhatTheEntriesAre) {
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\gamma.bin", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
  auto found = Search(u"\\Temp\\*");
  ASSERT_EQ(found.size(), 5u);
  const WIN32_FIND_DATAW& alpha = found[u"alpha.txt"];
  EXPECT_EQ(alpha.nFileSizeLow, 9u);
  EXPECT_EQ(alpha.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(found[u"Sub"].dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(found[u"gamma.bin"].dwFileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);
  EXPECT_NE(alpha.dwOID, found[u"Beta.TXT"].dwOID);
  struct stat st;
  ASSERT_EQ(::stat(Host("Temp/alpha.txt").c_str(), &st), 0);
  uint64_t ticks = (uint64_t{alpha.ftLastWriteTime.dwHighDateTime} << 32) | alpha.ftLastWriteTime.dwLowDateTime;
  EXPECT_EQ(ticks / 10000000 - 11644473600u, static_cast<uint64_t>(st.st_mtim.tv_sec));
}

TEST_F(Find, EntriesRemovedDuringASearchAreSkipped) {
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(u"\\Temp\\*.*", &data);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  Set seen = {data.cFileName};
  for (const char* name : {"alpha.txt", "Beta.TXT", "gamma.bin", "noext"}) ::unlink((Host("Temp/") + name).c_str());
  while (FindNextFileW(search, &data)) seen.insert(data.cFileName);
  FindClose(search);
  EXPECT_LE(seen.size(), 2u);
  EXPECT_TRUE(seen.count(u"Sub"));
}

TEST_F(Find, PathologicalPatternsFinishQuickly) {
  HostWrite(Host("Temp/" + std::string(200, 'a')), "");
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Names(u"\\Temp\\*a*a*a*a*a*a*a*a*a*a*a*a*b").empty());
  EXPECT_EQ(Names(u"\\Temp\\*a*a*a*a*a*a*a*a*a*a*a*a*").count(std::u16string(200, u'a')), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
