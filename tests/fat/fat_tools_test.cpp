// Volumes the library writes pass the system's FAT checker and read back
// through its FAT tools, and volumes those tools make read back through the
// library, for each FAT type; names a crafted volume holds decode alike.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <regex>

#include "module/atomic_file.h"
#include "platform/text.h"
#include "tests/fat/fat_fixture.h"
#include "tests/support/fat_craft.h"
#include "tests/support/fat_tools.h"
#include "tests/support/temp_module.h"

namespace {

std::vector<uint8_t> HostFile(const std::string& path) {
  std::string data, error;
  EXPECT_TRUE(ReadWholeFile(path, &data, &error)) << error;
  return std::vector<uint8_t>(data.begin(), data.end());
}

class FatToolsTest : public testing::TestWithParam<FatKind> {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir("fattools");
    image_ = dir_ + "/volume.img";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  // Mounts the image for the duration of `use`.
  template <typename Use>
  void WithVolume(Use use) {
    FatImageFile file;
    std::string error;
    ASSERT_TRUE(FatImageFileOpen(image_, 512, &file, &error)) << error;
    FatVolume volume;
    ASSERT_EQ(FatMount(FatImageFileAccess(&file), &volume), FatResult::Ok);
    use(&volume);
    FatImageFileClose(&file);
  }
  // A fresh image of the kind's size, formatted by the library.
  void FormatImage(FatFormatOptions options) {
    FatImageFile file;
    std::string error;
    ASSERT_TRUE(FatImageFileCreate(image_, 512, GetParam().sectors, &file, &error)) << error;
    options.type = GetParam().type;
    EXPECT_EQ(FatFormat(FatImageFileAccess(&file), options), FatResult::Ok);
    FatImageFileClose(&file);
  }
  std::vector<uint8_t> ToolCopyOut(const std::string& path) {
    std::string out = dir_ + "/out.bin";
    std::remove(out.c_str());
    ProgramResult copy = RunFatTool("mcopy", {"-n", "-i", image_, "::" + path, out});
    EXPECT_EQ(copy.exitCode, 0) << path << ": " << copy.err;
    return HostFile(out);
  }

  std::string dir_, image_;
};

TEST_P(FatToolsTest, LibraryVolumesPassTheToolsChecks) {
  FatFormatOptions options;
  options.label = u"Flashwright";
  options.serial = 0xCAFE0042;
  options.now = kFatTestNow;
  ASSERT_NO_FATAL_FAILURE(FormatImage(options));

  uint32_t cluster = 0;
  WithVolume([&](FatVolume* v) {
    cluster = v->clusterBytes;
    ASSERT_EQ(FatMakeDirectory(v, u"Long Folder Name", kFatTestNow), FatResult::Ok);
    ASSERT_EQ(FatMakeDirectory(v, u"Long Folder Name\\Sub", kFatTestNow), FatResult::Ok);
    PutFile(v, u"Long Folder Name\\A file with a long name.txt", Pattern(cluster * 5 + 3, 1));
    PutFile(v, u"Long Folder Name\\Sub\\Thirteen.char", Pattern(cluster, 2));  // fills one long entry exactly
    PutFile(v, u"ROOT.BIN", Pattern(700, 3));
    PutFile(v, u"gone soon.tmp", Pattern(cluster * 2, 4));
    PutFile(v, u"shrinks.dat", Pattern(cluster * 3, 5));
    ASSERT_EQ(FatSetSize(v, u"shrinks.dat", 10, kFatTestNow), FatResult::Ok);
    ASSERT_EQ(FatDeleteFile(v, u"gone soon.tmp"), FatResult::Ok);
    ASSERT_EQ(FatMakeDirectory(v, u"Moved Away", kFatTestNow), FatResult::Ok);
    ASSERT_EQ(FatRename(v, u"Long Folder Name\\Sub", u"Moved Away\\Renamed Sub"), FatResult::Ok);
  });

  ExpectFatClean(image_);
  ProgramResult list = RunFatTool("mdir", {"-i", image_, "::/Long Folder Name"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  EXPECT_NE(list.out.find("A file with a long name.txt"), std::string::npos) << list.out;
  list = RunFatTool("mdir", {"-i", image_, "::/"});
  EXPECT_NE(list.out.find("FLASHWRIGHT"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("Moved Away"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("gone soon"), std::string::npos) << list.out;
  EXPECT_EQ(ToolCopyOut("/Long Folder Name/A file with a long name.txt"), Pattern(cluster * 5 + 3, 1));
  EXPECT_EQ(ToolCopyOut("/Moved Away/Renamed Sub/Thirteen.char"), Pattern(cluster, 2));
  EXPECT_EQ(ToolCopyOut("/root.bin"), Pattern(700, 3));
  std::vector<uint8_t> cut = Pattern(cluster * 3, 5);
  cut.resize(10);
  EXPECT_EQ(ToolCopyOut("/shrinks.dat"), cut);
}

TEST_P(FatToolsTest, ToolVolumesReadBackThroughTheLibrary) {
  std::string bits = std::to_string(static_cast<int>(GetParam().made));
  std::vector<std::string> format = {"-n", "TOOLVOL", "-F", bits};
  if (GetParam().made == FatType::Fat32) format.insert(format.end(), {"-s", "1"});
  format.insert(format.end(), {"-C", image_, std::to_string(GetParam().sectors / 2)});
  ProgramResult mkfs = RunFatTool("mkfs.fat", format);
  ASSERT_EQ(mkfs.exitCode, 0) << mkfs.out << mkfs.err;

  std::string error, big = dir_ + "/big.bin", small = dir_ + "/small.txt";
  std::vector<uint8_t> bigData = Pattern(23456, 6), smallData = Pattern(33, 7);
  ASSERT_TRUE(AtomicWriteFile(big, std::string(bigData.begin(), bigData.end()), &error)) << error;
  ASSERT_TRUE(AtomicWriteFile(small, std::string(smallData.begin(), smallData.end()), &error)) << error;
  ProgramResult r = RunFatTool("mmd", {"-i", image_, "::/Tool Folder"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = RunFatTool("mcopy", {"-i", image_, big, "::/Tool Folder/A long name from the tool.bin"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = RunFatTool("mcopy", {"-i", image_, small, "::/small.txt"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  std::vector<uint8_t> more = Pattern(5000, 8);
  WithVolume([&](FatVolume* v) {
    EXPECT_EQ(v->type, GetParam().made);
    EXPECT_EQ(Names(v, u"Tool Folder"), std::vector<std::u16string>{u"A long name from the tool.bin"});
    EXPECT_EQ(Names(v, u""), (std::vector<std::u16string>{u"Tool Folder", u"small.txt"}));
    EXPECT_EQ(GetFile(v, u"tool folder\\A LONG NAME FROM THE TOOL.BIN"), bigData);
    EXPECT_EQ(GetFile(v, u"small.txt"), smallData);
    // Changes on the tools' volume must leave it as consistent as they found it.
    ASSERT_EQ(FatWrite(v, u"small.txt", 33, more.data(), 5000, kFatTestNow), FatResult::Ok);
    ASSERT_EQ(FatDeleteFile(v, u"Tool Folder\\A long name from the tool.bin"), FatResult::Ok);
    PutFile(v, u"Tool Folder\\Written by the library.bin", bigData);
  });
  ExpectFatClean(image_);
  smallData.insert(smallData.end(), more.begin(), more.end());
  EXPECT_EQ(ToolCopyOut("/small.txt"), smallData);
  EXPECT_EQ(ToolCopyOut("/Tool Folder/Written by the library.bin"), bigData);
}

// Many random changes, checked against a model of what the volume should
// hold, then by the checker: whatever order of growing, cutting, freeing
// and moving, the tables stay consistent.
TEST_P(FatToolsTest, RandomChangesKeepTheVolumeConsistent) {
  ASSERT_NO_FATAL_FAILURE(FormatImage(FatFormatOptions()));
  std::mt19937 random(GetParam().sectors);
  std::vector<std::u16string> folders = {u""};
  std::map<std::u16string, std::vector<uint8_t>> files;
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  auto newName = [&](int n) {
    std::u16string number;
    for (char c : std::to_string(n)) number += static_cast<char16_t>(c);
    const char16_t* forms[] = {u"A longer file name number ", u"F", u"lower", u"Mixed Case "};
    return folders[pick(folders.size())] + u"\\" + forms[n % 4] + number + (n % 3 ? u".dat" : u"");
  };
  WithVolume([&](FatVolume* v) {
    for (int step = 0; step < 400; step++) {
      int op = static_cast<int>(pick(6));
      if (files.empty() || op == 0) {
        std::u16string path = newName(step);
        ASSERT_EQ(FatCreateFile(v, path, kFatArchive, kFatTestNow), FatResult::Ok) << Utf8(path);
        files[path];
        continue;
      }
      auto it = std::next(files.begin(), static_cast<long>(pick(files.size())));
      std::vector<uint8_t>& model = it->second;
      if (op == 1 || op == 2) {
        uint32_t at = static_cast<uint32_t>(pick(model.size() + 3000));
        std::vector<uint8_t> data = Pattern(pick(6000) + 1, step);
        ASSERT_EQ(FatWrite(v, it->first, at, data.data(), static_cast<uint32_t>(data.size()), kFatTestNow),
                  FatResult::Ok);
        if (model.size() < at + data.size()) model.resize(at + data.size(), 0);
        std::copy(data.begin(), data.end(), model.begin() + at);
      } else if (op == 3) {
        model.resize(pick(model.size() + 2000), 0);
        ASSERT_EQ(FatSetSize(v, it->first, static_cast<uint32_t>(model.size()), kFatTestNow), FatResult::Ok);
      } else if (op == 4 && pick(2) == 0) {
        ASSERT_EQ(FatDeleteFile(v, it->first), FatResult::Ok);
        files.erase(it);
      } else if (op == 4) {
        std::u16string to = newName(step);
        ASSERT_EQ(FatRename(v, it->first, to), FatResult::Ok) << Utf8(it->first) << " " << Utf8(to);
        files[to] = std::move(model);
        files.erase(it);
      } else {
        folders.push_back(newName(step));
        ASSERT_EQ(FatMakeDirectory(v, folders.back(), kFatTestNow), FatResult::Ok);
      }
    }
    for (const auto& [path, data] : files) EXPECT_EQ(GetFile(v, path), data) << Utf8(path);
  });
  ExpectFatClean(image_);
  std::u16string some = files.rbegin()->first;
  std::string toolPath;
  for (char16_t c : some) toolPath += c == u'\\' ? '/' : static_cast<char>(c);
  EXPECT_EQ(ToolCopyOut(toolPath), files.rbegin()->second);
}

// Names a FAT volume cannot hold, as a crafted volume has them on an entry
// first made as kBait.
constexpr char16_t kBait[] = u"a long bait name for crafting.txt";  // room for 39 units
constexpr char16_t kBaitAlias[] = u"ALONGB~1.TXT";

struct StoredName {
  const char* test;
  std::u16string longName;  // empty: none
  std::string shortBytes;   // the short entry's 11 name bytes; empty: the alias kept
  std::u16string shown;     // FatShownName of what the volume holds
  bool refused;
};

const StoredName kStoredNames[] = {
    {"Separators", u"/../../../../elsewhere/x", "", u"\\x2F..\\x2F..\\x2F..\\x2F..\\x2Felsewhere\\x2Fx", true},
    {"Backslashes", u"..\\..\\boot.ini", "", u"..\\x5C..\\x5Cboot.ini", true},
    {"DotDot", u"..", "", u"..", true},
    {"Dot", u".", "", u".", true},
    {"TrailingDot", u"name.", "", u"name.", true},
    {"TerminalEscape", u"ev\x1B]0;owned\x07il", "", u"ev\\x1B]0;owned\\x07il", true},
    // mtools prints '?' as '_', so none here.
    {"Reserved", u"a:b*c\"<>|", "", u"a\\x3Ab\\x2Ac\\x22\\x3C\\x3E\\x7C", true},
    // Legal, yet not for a terminal as it stands.
    {"DeleteAndBidi", u"x\x7F\x202Etxt.exe", "", u"x\\x7F\\u202Etxt.exe", false},
    {"ShortSlash", u"", "A/B     TXT", u"A\\x2FB.TXT", true},
    {"ShortEscape", u"", "\x1B[2J    TXT", u"\\x1B[2J.TXT", true},
    {"ShortBlank", u"", "           ", u"", true},
};

// Such a name is never handed out as a name nor matched by a path; the
// entry goes by its alias if that is sound, and reading changes nothing.
// mtools, on the same bytes, shows the long name the library escapes.
TEST_P(FatToolsTest, NamesFatCannotHoldAreRefusedAndShownEscaped) {
  for (const StoredName& p : kStoredNames) {
    SCOPED_TRACE(p.test);
    ASSERT_NO_FATAL_FAILURE(FormatImage(FatFormatOptions()));
    WithVolume([&](FatVolume* v) {
      PutFile(v, kBait, Pattern(300, 7));
      CraftEntryName(v, kBait, p.longName, p.shortBytes);
    });
    bool shortRefused = !p.shortBytes.empty();
    std::u16string goesBy = !p.refused ? p.longName : shortRefused ? u"" : kBaitAlias;
    std::vector<uint8_t> before = HostFile(image_);
    WithVolume([&](FatVolume* v) {
      std::vector<FatEntryInfo> entries;
      ASSERT_EQ(FatList(v, u"", &entries), FatResult::Ok);
      ASSERT_EQ(entries.size(), 1u);
      const FatEntryInfo& e = entries[0];
      EXPECT_EQ(e.nameRefused, p.refused);
      EXPECT_TRUE(e.name == goesBy) << Utf8(e.name);
      EXPECT_TRUE(e.shortName == (shortRefused ? u"" : kBaitAlias)) << Utf8(e.shortName);
      EXPECT_TRUE(e.shown == p.shown) << Utf8(e.shown);
      std::u16string stored =
          p.longName.empty() ? std::u16string(p.shortBytes.begin(), p.shortBytes.end()) : p.longName;
      if (p.refused) {
        EXPECT_NE(FatStat(v, stored, nullptr), FatResult::Ok);
      }
      if (!goesBy.empty()) {
        EXPECT_EQ(GetFile(v, goesBy), Pattern(300, 7));
      }
    });
    EXPECT_TRUE(HostFile(image_) == before) << "reading the volume changed it";

    bool ascii = std::all_of(p.longName.begin(), p.longName.end(), [](char16_t c) { return c < 0x80; });
    if (p.longName.empty() || !ascii) continue;  // mtools shows other characters by the locale
    ProgramResult list = RunFatTool("mdir", {"-i", image_, "::/"});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    std::smatch line;
    ASSERT_TRUE(std::regex_search(list.out, line, std::regex("ALONGB~1 TXT .* \\d+:\\d\\d  ([^\\n]*)\\n"))) << list.out;
    EXPECT_TRUE(FatShownName(Utf8ToUtf16(line[1].str())) == p.shown) << line[1].str();
  }
}

INSTANTIATE_TEST_SUITE_P(Types, FatToolsTest, testing::ValuesIn(kFatKinds), FatKindName);

}  // namespace
