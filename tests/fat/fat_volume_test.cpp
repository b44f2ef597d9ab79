// The FAT library on memory volumes of each FAT type: names, file data,
// folders, moves, attributes, times and space.
#include <algorithm>
#include <filesystem>

#include "tests/fat/fat_fixture.h"
#include "tests/support/temp_module.h"

namespace {

class FatVolumeTest : public testing::TestWithParam<FatKind> {
 protected:
  void SetUp() override { MakeMemoryVolume(GetParam(), &mv_); }
  FatVolume* v() { return &mv_.volume; }
  uint32_t Cluster() const { return mv_.volume.clusterBytes; }

  MemoryVolume mv_;
};

TEST_P(FatVolumeTest, NestedFoldersKeepLongAndShortNames) {
  ASSERT_EQ(FatMakeDirectory(v(), u"Projects", kFatTestNow), FatResult::Ok);
  ASSERT_EQ(FatMakeDirectory(v(), u"projects\\Sub Folder.d", kFatTestNow), FatResult::Ok);
  const std::u16string dir = u"/Projects/Sub Folder.d/";
  PutFile(v(), dir + u"A long file name with spaces.txt", Pattern(3000, 1));
  PutFile(v(), dir + u"A long file name with others.txt", Pattern(10, 2));
  PutFile(v(), dir + u"README.TXT", Pattern(5, 3));
  PutFile(v(), dir + u"lower.c", Pattern(7, 4));
  PutFile(v(), dir + u"Ünïcode ΣΩ name", Pattern(9, 5));

  EXPECT_EQ(Names(v(), u"projects\\SUB FOLDER.D"),
            (std::vector<std::u16string>{u"A long file name with spaces.txt", u"A long file name with others.txt",
                                         u"README.TXT", u"lower.c", u"Ünïcode ΣΩ name"}));
  std::vector<FatEntryInfo> entries;
  ASSERT_EQ(FatList(v(), dir, &entries), FatResult::Ok);
  std::vector<std::u16string> aliases;
  for (const FatEntryInfo& e : entries) aliases.push_back(e.shortName);
  EXPECT_EQ(aliases,
            (std::vector<std::u16string>{u"ALONGF~1.TXT", u"ALONGF~2.TXT", u"README.TXT", u"LOWER.C", u"_N_COD~1"}));
  // Either name reaches the file, in any case.
  EXPECT_EQ(GetFile(v(), dir + u"alongf~2.txt"), Pattern(10, 2));
  EXPECT_EQ(GetFile(v(), u"PROJECTS\\sub folder.d\\a LONG file NAME with SPACES.TXT"), Pattern(3000, 1));
  EXPECT_EQ(GetFile(v(), dir + u"ünïcode σω NAME"), Pattern(9, 5));
  // Names are taken whichever form or case they are given in.
  EXPECT_EQ(FatCreateFile(v(), dir + u"readme.txt", 0, kFatTestNow), FatResult::Exists);
  EXPECT_EQ(FatCreateFile(v(), dir + u"ALONGF~1.TXT", 0, kFatTestNow), FatResult::Exists);
  EXPECT_EQ(FatMakeDirectory(v(), u"PROJECTS", kFatTestNow), FatResult::Exists);
}

TEST_P(FatVolumeTest, PathsAndNamesAreChecked) {
  PutFile(v(), u"file", Pattern(1, 1));
  EXPECT_EQ(FatCreateFile(v(), u"missing\\x", 0, kFatTestNow), FatResult::PathNotFound);
  EXPECT_EQ(FatCreateFile(v(), u"file\\x", 0, kFatTestNow), FatResult::PathNotFound);
  FatEntryInfo info;
  EXPECT_EQ(FatStat(v(), u"nothing", &info), FatResult::NotFound);
  for (const char16_t* bad : {u"a*b", u"a?b", u"a:b", u"a<b", u"a|b", u"a\"b", u"..", u" . "}) {
    EXPECT_EQ(FatCreateFile(v(), bad, 0, kFatTestNow), FatResult::InvalidName) << Utf8(bad);
  }
  std::u16string longest(255, u'n');
  EXPECT_EQ(FatCreateFile(v(), longest + u"x", 0, kFatTestNow), FatResult::InvalidName);
  EXPECT_EQ(FatCreateFile(v(), longest, 0, kFatTestNow), FatResult::Ok);
  EXPECT_EQ(FatStat(v(), longest, &info), FatResult::Ok);
  EXPECT_EQ(info.name, longest);
  // Trailing dots and blanks go, as on the module.
  EXPECT_EQ(FatCreateFile(v(), u"trail. .", 0, kFatTestNow), FatResult::Ok);
  EXPECT_EQ(FatStat(v(), u"trail", &info), FatResult::Ok);
  EXPECT_EQ(info.name, u"trail");
}

TEST_P(FatVolumeTest, WritesExtendTruncateAndOverwrite) {
  const std::u16string f = u"data.bin";
  std::vector<uint8_t> model = Pattern(Cluster() * 3 + 17, 7);
  PutFile(v(), f, model);
  // A write past the end leaves a gap that must read as zeros.
  std::vector<uint8_t> tail = Pattern(Cluster() + 5, 8);
  uint32_t at = static_cast<uint32_t>(model.size()) + Cluster() * 2 + 100;
  ASSERT_EQ(FatWrite(v(), f, at, tail.data(), static_cast<uint32_t>(tail.size()), kFatTestNow), FatResult::Ok);
  model.resize(at, 0);
  model.insert(model.end(), tail.begin(), tail.end());
  EXPECT_EQ(GetFile(v(), f), model);
  // Overwrite across a cluster boundary, unaligned.
  std::vector<uint8_t> middle = Pattern(Cluster() + 3, 9);
  ASSERT_EQ(FatWrite(v(), f, Cluster() - 1, middle.data(), static_cast<uint32_t>(middle.size()), kFatTestNow),
            FatResult::Ok);
  std::copy(middle.begin(), middle.end(), model.begin() + Cluster() - 1);
  EXPECT_EQ(GetFile(v(), f), model);
  // Cut inside a cluster, then grow again: the old bytes must not come back.
  ASSERT_EQ(FatSetSize(v(), f, Cluster() + 10, kFatTestNow), FatResult::Ok);
  ASSERT_EQ(FatSetSize(v(), f, Cluster() * 3, kFatTestNow), FatResult::Ok);
  model.resize(Cluster() + 10);
  model.resize(Cluster() * 3, 0);
  EXPECT_EQ(GetFile(v(), f), model);
  // Reads at and past the end.
  uint8_t byte = 0;
  uint32_t done = 1;
  EXPECT_EQ(FatRead(v(), f, model.size(), &byte, 1, &done), FatResult::Ok);
  EXPECT_EQ(done, 0u);
  ASSERT_EQ(FatSetSize(v(), f, 0, kFatTestNow), FatResult::Ok);
  EXPECT_TRUE(GetFile(v(), f).empty());
  EXPECT_EQ(FatWrite(v(), f, kFatMaxFileBytes, &byte, 1, kFatTestNow), FatResult::TooLarge);
}

TEST_P(FatVolumeTest, SpaceComesAndGoesWithClusters) {
  const uint64_t empty = FreeBytes(v());
  PutFile(v(), u"one", Pattern(Cluster() * 4 + 1, 1));
  ASSERT_EQ(FatMakeDirectory(v(), u"dir", kFatTestNow), FatResult::Ok);
  EXPECT_EQ(FreeBytes(v()), empty - Cluster() * 6);
  ASSERT_EQ(FatSetSize(v(), u"one", Cluster(), kFatTestNow), FatResult::Ok);
  EXPECT_EQ(FreeBytes(v()), empty - Cluster() * 2);
  ASSERT_EQ(FatDeleteFile(v(), u"one"), FatResult::Ok);
  ASSERT_EQ(FatRemoveDirectory(v(), u"dir"), FatResult::Ok);
  EXPECT_EQ(FreeBytes(v()), empty);
  EXPECT_EQ(FatStat(v(), u"one", nullptr), FatResult::NotFound);
}

TEST_P(FatVolumeTest, DiskFullChangesNothing) {
  uint64_t free = FreeBytes(v());
  PutFile(v(), u"keep.bin", Pattern(100, 1));
  std::vector<uint8_t> big(free, 0x5A);
  EXPECT_EQ(FatWrite(v(), u"keep.bin", 100, big.data(), static_cast<uint32_t>(big.size()), kFatTestNow),
            FatResult::DiskFull);
  EXPECT_EQ(GetFile(v(), u"keep.bin"), Pattern(100, 1));
  EXPECT_EQ(FreeBytes(v()), free - Cluster());
  // What is left can be filled to the last cluster; then nothing more fits.
  ASSERT_EQ(FatWrite(v(), u"keep.bin", 100, big.data(), static_cast<uint32_t>(free - 100), kFatTestNow), FatResult::Ok);
  EXPECT_EQ(FreeBytes(v()), 0u);
  EXPECT_EQ(FatMakeDirectory(v(), u"more", kFatTestNow), FatResult::DiskFull);
  EXPECT_EQ(FatSetSize(v(), u"keep.bin", static_cast<uint32_t>(free + 1), kFatTestNow), FatResult::DiskFull);
  ASSERT_EQ(FatDeleteFile(v(), u"keep.bin"), FatResult::Ok);
  EXPECT_EQ(FreeBytes(v()), free);
}

TEST_P(FatVolumeTest, RenamesAndMovesKeepTheEntry) {
  ASSERT_EQ(FatMakeDirectory(v(), u"from", kFatTestNow), FatResult::Ok);
  ASSERT_EQ(FatMakeDirectory(v(), u"from\\inner", kFatTestNow), FatResult::Ok);
  ASSERT_EQ(FatMakeDirectory(v(), u"to", kFatTestNow), FatResult::Ok);
  PutFile(v(), u"from\\inner\\deep file.txt", Pattern(50, 1));
  PutFile(v(), u"from\\A.TXT", Pattern(60, 2));
  ASSERT_EQ(FatSetAttributes(v(), u"from\\A.TXT", kFatHidden | kFatReadOnly), FatResult::Ok);

  EXPECT_EQ(FatRename(v(), u"from\\a.txt", u"from\\Now a longer name.txt"), FatResult::Ok);
  EXPECT_EQ(FatRename(v(), u"from\\now A LONGER name.txt", u"from\\Now a longer name.TXT"), FatResult::Ok);
  FatEntryInfo info;
  ASSERT_EQ(FatStat(v(), u"from\\NOW A LONGER NAME.TXT", &info), FatResult::Ok);
  EXPECT_EQ(info.name, u"Now a longer name.TXT");
  EXPECT_EQ(info.attributes, kFatHidden | kFatReadOnly);
  EXPECT_EQ(FatStat(v(), u"from\\A.TXT", &info), FatResult::NotFound);

  // A folder moved elsewhere brings its contents, and its ".." follows.
  ASSERT_EQ(FatRename(v(), u"from\\inner", u"to\\moved"), FatResult::Ok);
  EXPECT_EQ(GetFile(v(), u"to\\moved\\deep file.txt"), Pattern(50, 1));
  EXPECT_TRUE(Names(v(), u"from") == std::vector<std::u16string>{u"Now a longer name.TXT"});
  ASSERT_EQ(FatRename(v(), u"to\\moved", u"top"), FatResult::Ok);
  ASSERT_EQ(FatRename(v(), u"top\\deep file.txt", u"to\\deep file.txt"), FatResult::Ok);
  EXPECT_EQ(GetFile(v(), u"to\\deep file.txt"), Pattern(50, 1));

  EXPECT_EQ(FatRename(v(), u"from", u"from\\below"), FatResult::AccessDenied);
  EXPECT_EQ(FatRename(v(), u"top", u"to"), FatResult::Exists);
  EXPECT_EQ(FatRename(v(), u"nothing", u"x"), FatResult::NotFound);
  EXPECT_EQ(FatRename(v(), u"top", u"nowhere\\x"), FatResult::PathNotFound);
  // Read-only entries stay; folders go only when empty.
  EXPECT_EQ(FatDeleteFile(v(), u"from\\Now a longer name.TXT"), FatResult::AccessDenied);
  EXPECT_EQ(FatRemoveDirectory(v(), u"from"), FatResult::NotEmpty);
  EXPECT_EQ(FatRemoveDirectory(v(), u"to\\deep file.txt"), FatResult::NotDirectory);
  EXPECT_EQ(FatDeleteFile(v(), u"to"), FatResult::IsDirectory);
  EXPECT_EQ(FatRemoveDirectory(v(), u""), FatResult::AccessDenied);
  ASSERT_EQ(FatSetAttributes(v(), u"from\\Now a longer name.TXT", 0), FatResult::Ok);
  ASSERT_EQ(FatDeleteFile(v(), u"from\\Now a longer name.TXT"), FatResult::Ok);
  EXPECT_EQ(FatRemoveDirectory(v(), u"from"), FatResult::Ok);
  EXPECT_EQ(Names(v(), u""), (std::vector<std::u16string>{u"to", u"top"}));
}

TEST_P(FatVolumeTest, TimesKeepTheirResolution) {
  PutFile(v(), u"t", Pattern(1, 1));
  const uint64_t second = 10000000, day = second * 86400;
  uint64_t created = kFatTestNow + 3 * second + 1230000;  // 3.123 s past: 3.12 s kept
  uint64_t written = kFatTestNow + 5 * second + 9990000;  // 5.999 s past: 4 s kept
  uint64_t accessed = kFatTestNow + 2 * day + 3600 * second;
  ASSERT_EQ(FatSetTimes(v(), u"t", &created, &accessed, &written), FatResult::Ok);
  FatEntryInfo info;
  ASSERT_EQ(FatStat(v(), u"t", &info), FatResult::Ok);
  EXPECT_EQ(info.created, kFatTestNow + 3 * second + 1200000);
  EXPECT_EQ(info.written, kFatTestNow + 4 * second);
  EXPECT_EQ(info.accessed, kFatTestNow - (kFatTestNow % day) + 2 * day);
  // Null leaves a time alone; dates before 1980 clamp to its first day.
  uint64_t early = 0;
  ASSERT_EQ(FatSetTimes(v(), u"t", nullptr, nullptr, &early), FatResult::Ok);
  ASSERT_EQ(FatStat(v(), u"t", &info), FatResult::Ok);
  EXPECT_EQ(info.created, kFatTestNow + 3 * second + 1200000);
  EXPECT_EQ(info.written, 119600064000000000ull);  // 1980-01-01
}

TEST_P(FatVolumeTest, FoldersGrowPastOneCluster) {
  ASSERT_EQ(FatMakeDirectory(v(), u"many", kFatTestNow), FatResult::Ok);
  // Each name takes three entries, so the folder outgrows several clusters.
  uint32_t count = Cluster() / 32 + 40;
  std::vector<std::u16string> expected;
  for (uint32_t i = 0; i < count; i++) {
    std::u16string name = u"Entry number ";
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    ASSERT_EQ(FatCreateFile(v(), u"many\\" + name, 0, kFatTestNow), FatResult::Ok) << i;
    expected.push_back(name);
  }
  EXPECT_EQ(Names(v(), u"many"), expected);
  EXPECT_EQ(FatStat(v(), u"many\\ENTRYN~9", nullptr), FatResult::Ok);
}

INSTANTIATE_TEST_SUITE_P(Types, FatVolumeTest, testing::ValuesIn(kFatKinds), FatKindName);

TEST(FatRoot, FixedRootFolderFillsUp) {
  MemoryVolume mv;
  MakeMemoryVolume(kFatKinds[1], &mv);
  ASSERT_EQ(mv.volume.type, FatType::Fat16);
  // The label takes one of the root's entries.
  for (uint32_t i = 1; i < mv.volume.rootEntries; i++) {
    std::u16string name = u"F";
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    ASSERT_EQ(FatCreateFile(&mv.volume, name, 0, kFatTestNow), FatResult::Ok) << i;
  }
  EXPECT_EQ(FatCreateFile(&mv.volume, u"ONEMORE", 0, kFatTestNow), FatResult::DiskFull);
  EXPECT_EQ(FatMakeDirectory(&mv.volume, u"DIR", kFatTestNow), FatResult::DiskFull);
  EXPECT_EQ(FreeBytes(&mv.volume), uint64_t{mv.volume.clusterCount} * mv.volume.clusterBytes);
}

// Sectors bigger than 512 bytes move every table and folder offset.
TEST(FatSectors, FourKilobyteSectorsHoldFiles) {
  FatMemoryDevice memory;
  FatMemoryDeviceInit(&memory, 4096, 2048);
  FatDevice device = FatMemoryDeviceAccess(&memory);
  ASSERT_EQ(FatFormat(device, FatFormatOptions()), FatResult::Ok);
  FatVolume v;
  ASSERT_EQ(FatMount(device, &v), FatResult::Ok);
  uint64_t empty = FreeBytes(&v);
  ASSERT_EQ(FatMakeDirectory(&v, u"Folder with a long name", kFatTestNow), FatResult::Ok);
  PutFile(&v, u"Folder with a long name\\data.bin", Pattern(v.clusterBytes * 3 + 1000, 1));
  EXPECT_EQ(GetFile(&v, u"folder with a long name\\DATA.BIN"), Pattern(v.clusterBytes * 3 + 1000, 1));
  EXPECT_EQ(FreeBytes(&v), empty - v.clusterBytes * 5);
}

// The type and cluster size a formatter picks by size alone, on sparse
// images so that big volumes cost nothing.
struct AutoCase {
  uint64_t megabytes;
  FatType type;
  uint32_t clusterBytes;
};

class FatAutoFormat : public testing::TestWithParam<AutoCase> {};

TEST_P(FatAutoFormat, FollowsTheSizeTables) {
  std::string dir = MakeTempDir("fatauto"), path = dir + "/volume.img";
  FatImageFile file;
  std::string error;
  ASSERT_TRUE(FatImageFileCreate(path, 512, static_cast<uint32_t>(GetParam().megabytes * 2048), &file, &error))
      << error;
  FatDevice device = FatImageFileAccess(&file);
  ASSERT_EQ(FatFormat(device, FatFormatOptions()), FatResult::Ok);
  FatVolume volume;
  ASSERT_EQ(FatMount(device, &volume), FatResult::Ok);
  EXPECT_EQ(volume.type, GetParam().type);
  EXPECT_EQ(volume.clusterBytes, GetParam().clusterBytes);
  FatImageFileClose(&file);
  std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FatAutoFormat,
                         testing::Values(AutoCase{1, FatType::Fat12, 512}, AutoCase{4, FatType::Fat12, 1024},
                                         AutoCase{5, FatType::Fat16, 1024}, AutoCase{100, FatType::Fat16, 2048},
                                         AutoCase{300, FatType::Fat16, 8192}, AutoCase{600, FatType::Fat32, 4096}));

TEST(FatFormatOptions, RefusesWhatTheDeviceCannotHold) {
  FatMemoryDevice memory;
  FatMemoryDeviceInit(&memory, 512, 4096);
  FatDevice device = FatMemoryDeviceAccess(&memory);
  FatFormatOptions options;
  options.type = FatType::Fat32;
  EXPECT_EQ(FatFormat(device, options), FatResult::InvalidParameter);
  options = FatFormatOptions();
  options.clusterBytes = 3000;
  EXPECT_EQ(FatFormat(device, options), FatResult::InvalidParameter);
  options = FatFormatOptions();
  options.label = u"TOO LONG LABEL";
  EXPECT_EQ(FatFormat(device, options), FatResult::InvalidName);
  options.label = u"bad*";
  EXPECT_EQ(FatFormat(device, options), FatResult::InvalidName);
}

}  // namespace
