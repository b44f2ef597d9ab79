// Damaged volumes: every contradiction the library meets must come back as
// an error (or be passed over), never as a crash, a hang or a stray access.
#include <algorithm>
#include <tuple>

#include "module/fat_internal.h"
#include "tests/fat/fat_fixture.h"

namespace {

class FatCorruptTest : public testing::TestWithParam<FatKind> {
 protected:
  void SetUp() override { MakeMemoryVolume(GetParam(), &mv_); }
  FatVolume* v() { return &mv_.volume; }

  // Where the path's entry sits; the test fails when it is not there.
  FatPlace Locate(const std::u16string& path) {
    FatPlace place;
    EXPECT_EQ(FatResolve(v(), path, &place), FatResult::Ok);
    EXPECT_GE(place.found, 0) << Utf8(path);
    return place;
  }
  void SetFat(uint32_t cluster, uint32_t value) {
    ASSERT_EQ(FatSetEntry(v(), cluster, value), FatResult::Ok);
    ASSERT_EQ(FatFinish(v(), FatResult::Ok), FatResult::Ok);
  }
  // Changes the short entry of `path` in place.
  template <typename Change>
  void EditEntry(const std::u16string& path, Change change) {
    FatPlace place = Locate(path);
    change(FatSlot(&place.parent, place.entries[place.found].slot));
    FatMarkSlot(&place.parent, place.entries[place.found].slot);
    ASSERT_EQ(FatDirSave(v(), &place.parent), FatResult::Ok);
  }

  MemoryVolume mv_;
};

TEST_P(FatCorruptTest, LoopingChainsEndInErrors) {
  uint64_t empty = FreeBytes(v());
  uint32_t cluster = v()->clusterBytes;
  PutFile(v(), u"loop.bin", Pattern(cluster * 3, 1));
  ASSERT_EQ(FatMakeDirectory(v(), u"dir", kFatTestNow), FatResult::Ok);
  std::vector<uint32_t> chain;
  ASSERT_EQ(FatChain(v(), Locate(u"loop.bin").entries[Locate(u"loop.bin").found].cluster, 10, &chain), FatResult::Ok);
  ASSERT_EQ(chain.size(), 3u);
  SetFat(chain[2], chain[0]);
  uint32_t dirCluster = Locate(u"dir").entries[Locate(u"dir").found].cluster;
  SetFat(dirCluster, dirCluster);

  std::vector<uint8_t> buffer(cluster * 4);
  uint32_t done = 0;
  EXPECT_EQ(FatRead(v(), u"loop.bin", 0, buffer.data(), cluster, &done), FatResult::Corrupt);
  EXPECT_EQ(FatWrite(v(), u"loop.bin", cluster * 3, buffer.data(), 1, kFatTestNow), FatResult::Corrupt);
  EXPECT_EQ(FatSetSize(v(), u"loop.bin", 1, kFatTestNow), FatResult::Corrupt);
  std::vector<FatEntryInfo> entries;
  EXPECT_EQ(FatList(v(), u"dir", &entries), FatResult::Corrupt);
  EXPECT_EQ(FatCreateFile(v(), u"dir\\new", 0, kFatTestNow), FatResult::Corrupt);
  // Deleting gives back what the chain held, however it ends.
  EXPECT_EQ(FatDeleteFile(v(), u"loop.bin"), FatResult::Ok);
  EXPECT_EQ(FatRemoveDirectory(v(), u"dir"), FatResult::Corrupt);
  EXPECT_EQ(FreeBytes(v()), empty - cluster);
}

TEST_P(FatCorruptTest, ClustersOutsideTheVolumeAreRefused) {
  ASSERT_EQ(FatMakeDirectory(v(), u"dir", kFatTestNow), FatResult::Ok);
  PutFile(v(), u"file", Pattern(100, 1));
  uint32_t outside = v()->clusterCount + 2;
  EditEntry(u"dir", [&](uint8_t* e) { FatSetEntryCluster(*v(), e, outside); });
  std::vector<FatEntryInfo> entries;
  EXPECT_EQ(FatList(v(), u"dir", &entries), FatResult::Corrupt);
  EXPECT_EQ(FatStat(v(), u"dir\\x", nullptr), FatResult::Corrupt);
  EXPECT_EQ(FatMakeDirectory(v(), u"dir\\x", kFatTestNow), FatResult::Corrupt);
  // A file whose size claims more than its chain holds.
  EditEntry(u"file", [&](uint8_t* e) { StoreLe32(e + kFatOffSize, v()->clusterBytes * 5); });
  std::vector<uint8_t> buffer(v()->clusterBytes * 5);
  uint32_t done = 0;
  EXPECT_EQ(FatRead(v(), u"file", 0, buffer.data(), static_cast<uint32_t>(buffer.size()), &done), FatResult::Corrupt);
  // A chain that runs into a free cluster.
  FatPlace place = Locate(u"file");
  SetFat(place.entries[place.found].cluster, outside - 1);
  EXPECT_EQ(FatRead(v(), u"file", 0, buffer.data(), 1, &done), FatResult::Corrupt);
}

// Long name entries that do not add up leave the short name standing.
TEST_P(FatCorruptTest, BrokenLongNamesFallBackToTheAlias) {
  const std::u16string name = u"A long file name that takes four entries.txt";
  for (int damage = 0; damage < 3; damage++) {
    PutFile(v(), name, Pattern(10, 1));
    FatPlace place = Locate(name);
    const FatDirEntry& entry = place.entries[place.found];
    ASSERT_EQ(entry.slot - entry.first, 4u);
    uint8_t* first = FatSlot(&place.parent, entry.first);
    uint8_t* second = FatSlot(&place.parent, entry.first + 1);
    if (damage == 0) second[kFatOffLongChecksum] ^= 1;                            // checksum of one part
    if (damage == 1) first[0] &= ~kFatLastLongEntry;                              // no part says it is the last
    if (damage == 2) std::swap_ranges(first, first + kFatDirEntryBytes, second);  // parts out of order
    for (uint32_t s = entry.first; s <= entry.slot; s++) FatMarkSlot(&place.parent, s);
    ASSERT_EQ(FatDirSave(v(), &place.parent), FatResult::Ok);

    EXPECT_EQ(FatStat(v(), name, nullptr), FatResult::NotFound) << damage;
    EXPECT_EQ(Names(v(), u""), std::vector<std::u16string>{u"ALONGF~1.TXT"}) << damage;
    EXPECT_EQ(GetFile(v(), u"alongf~1.txt"), Pattern(10, 1));
    ASSERT_EQ(FatDeleteFile(v(), u"ALONGF~1.TXT"), FatResult::Ok);
  }
}

INSTANTIATE_TEST_SUITE_P(Types, FatCorruptTest, testing::ValuesIn(kFatKinds), FatKindName);

// Boot sector fields that contradict each other or the device.
struct BootDamage {
  const char* what;
  void (*apply)(uint8_t* boot, const FatVolume& v);
};

const BootDamage kBootDamage[] = {
    {"SectorSize", [](uint8_t* b, const FatVolume&) { StoreLe16(b + kBpbBytesPerSector, 1024); }},
    {"ClusterNotPowerOfTwo", [](uint8_t* b, const FatVolume&) { b[kBpbSectorsPerCluster] = 3; }},
    {"NoReserved", [](uint8_t* b, const FatVolume&) { StoreLe16(b + kBpbReservedSectors, 0); }},
    {"NoFats", [](uint8_t* b, const FatVolume&) { b[kBpbFatCount] = 0; }},
    {"BiggerThanDevice",
     [](uint8_t* b, const FatVolume& v) {
       StoreLe16(b + kBpbTotalSectors16, 0);
       StoreLe32(b + kBpbTotalSectors32, v.device.sectorCount + 1);
     }},
    {"FatTooSmall",
     [](uint8_t* b, const FatVolume& v) {
       if (v.type == FatType::Fat32) {
         StoreLe32(b + kBpbFatSectors32, 1);
       } else {
         StoreLe16(b + kBpbFatSectors16, 1);
       }
     }},
    {"MetadataFillsVolume",
     [](uint8_t* b, const FatVolume& v) {
       if (v.type == FatType::Fat32) {
         StoreLe32(b + kBpbFatSectors32, v.totalSectors / 2);
       } else {
         StoreLe16(b + kBpbFatSectors16, static_cast<uint16_t>(v.totalSectors / 2));
       }
     }},
    {"RootClusterOutside",
     [](uint8_t* b, const FatVolume& v) {
       if (v.type == FatType::Fat32) {
         StoreLe32(b + kBpbRootCluster, v.clusterCount + 2);
       } else {
         StoreLe16(b + kBpbRootEntries, 0);  // a FAT16 layout without a root folder
       }
     }},
};

class FatBootDamageTest : public testing::TestWithParam<std::tuple<FatKind, BootDamage>> {};

TEST_P(FatBootDamageTest, MountRefuses) {
  MemoryVolume mv;
  MakeMemoryVolume(std::get<0>(GetParam()), &mv);
  std::get<1>(GetParam()).apply(mv.memory.bytes.data(), mv.volume);
  FatVolume again;
  EXPECT_EQ(FatMount(mv.device, &again), FatResult::Corrupt);
}

INSTANTIATE_TEST_SUITE_P(Fields, FatBootDamageTest,
                         testing::Combine(testing::ValuesIn(kFatKinds), testing::ValuesIn(kBootDamage)),
                         [](const testing::TestParamInfo<std::tuple<FatKind, BootDamage>>& info) {
                           return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).what;
                         });

}  // namespace
