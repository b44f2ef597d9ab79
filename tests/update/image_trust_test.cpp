// What an image file says never reaches past this module's own flash disk:
// streams aimed elsewhere, with another geometry, or with records the volume
// cannot take are refused whole, before anything is erased, formatted or
// written; an update that would take its own file offline is refused too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "storage/store_access.h"
#include "tests/support/boards.h"
#include "tests/support/store_sectors.h"
#include "tests/update/update_fixture.h"

namespace {

using StreamDamage = std::function<void(FsStreamSpec*, std::vector<FsPartitionEntry>*)>;

// Writes `bytes` as the module's file `path` through the module's file calls.
bool PutModuleFile(const char16_t* path, const std::vector<uint8_t>& bytes) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
  return CloseHandle(file) && ok;
}

// Every file of the object store with its bytes.
std::map<std::string, std::string> ObjectStore(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(ModuleRootPath(dir))) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    files[entry.path().string()] = std::string(std::istreambuf_iterator<char>(in), {});
  }
  return files;
}

FsPartitionEntry HardDisk() {
  FsPartitionEntry part;
  part.files = {{u"\\Hard Disk", FILE_ATTRIBUTE_DIRECTORY, 0, 0, 0, {}},
                {u"\\Hard Disk\\Docs", FILE_ATTRIBUTE_DIRECTORY, 0, 0, 0, {}},
                {u"\\Hard Disk\\Docs\\notes.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, Pattern(1001, 3)}};
  return part;
}

class ImageTrustTest : public BoardUpdateTest {
 protected:
  // A stream of this module's store as a backup would write it, damaged as
  // told; file-level when the damage leaves partitions to write.
  std::u16string StreamFile(const StreamDamage& damage, const char* name = "stream.bin") {
    FsStreamSpec stream = ThisStoreStream();
    std::vector<FsPartitionEntry> partitions;
    damage(&stream, &partitions);
    std::string error;
    if (!partitions.empty()) {
      stream.type = kFsStreamFiles;
      if (stream.folder.empty()) stream.folder = u"Hard Disk";
      if (stream.storePartitions == 0) stream.storePartitions = static_cast<uint32_t>(partitions.size());
      stream.chunks.resize(1);
      stream.chunks[0].tag = stream.memBase;
      EXPECT_TRUE(FsFilesChunkBuild(partitions, &stream.chunks[0].data, &error)) << error;
    }
    BinImageSpec spec;
    spec.hasBinPart = false;
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(FsStreamBuild(stream, &bytes, &error)) << error;
    spec.streams.push_back(bytes);
    return Place(spec, name);
  }
};

struct HostileStream {
  const char* what;
  const char16_t* reason;  // what the refusal names
  StreamDamage damage;
};

void Files(std::vector<FsPartitionEntry>* p, std::vector<FsFileEntry> extra) {
  p->push_back(HardDisk());
  p->back().files.insert(p->back().files.end(), extra.begin(), extra.end());
}

const HostileStream kHostile[] = {
    {"a store laid over the bootloader", u"lays its store at", [](FsStreamSpec* s, auto*) { s->memBase = 0; }},
    {"a store laid over the OS image", u"lays its store at", [](FsStreamSpec* s, auto*) { s->memBase = kOsBase; }},
    {"a store longer than the flash disk", u"store is 0x", [](FsStreamSpec* s, auto*) { s->memLen += 0x40000; }},
    {"another block size", u"blocks", [](FsStreamSpec* s, auto*) { s->blockSize = 4096; }},
    {"sectors of 1024 bytes", u"1024-byte sectors", [](FsStreamSpec* s, auto*) { s->sectorSize = 1024; }},
    {"sectors of 4096 bytes", u"4096-byte sectors",
     [](FsStreamSpec* s, auto*) { s->sectorSize = 4096; s->chunks[0].data.resize(4096); }},
    {"sectors past the real store, the header claiming a bigger one", u"does not fit this module's store",
     [](FsStreamSpec* s, auto*) { s->chunks[0].tag = uint32_t(s->storeSectors); s->storeSectors *= 4; }},
    {"a run that wraps the sector numbers", u"does not fit this module's store",
     [](FsStreamSpec* s, auto*) { s->chunks[0].tag = 0xFFFFFFFF; }},
    {"a file whose folder is missing", u"never made",
     [](auto*, auto* p) { Files(p, {{u"\\Hard Disk\\Nowhere\\x.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, {}}}); }},
    {"a name with *", u"cannot hold",
     [](auto*, auto* p) { Files(p, {{u"\\Hard Disk\\a*b", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, {}}}); }},
    {"a name with ?", u"cannot hold",
     [](auto*, auto* p) { Files(p, {{u"\\Hard Disk\\a?", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, {}}}); }},
    {"a file named as its volume", u"own folder",
     [](auto*, auto* p) { Files(p, {{u"\\Hard Disk", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, Pattern(8, 1)}}); }},
    {"a path made a folder and a file", u"twice",
     [](auto*, auto* p) { Files(p, {{u"\\Hard Disk\\docs", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, {}}}); }},
    {"five partitions", u"at most 4",
     [](FsStreamSpec* s, auto* p) {
       for (int i = 0; i < 5; i++) p->push_back(FsPartitionEntry{});
       s->storePartitions = 5;
     }},
    {"a partition larger than the store", u"sectors left",
     [](FsStreamSpec* s, auto* p) {
       Files(p, {});
       p->back().sectors = s->storeSectors + 1;
     }},
    {"a volume that is not the flash disk's", u"mounted as",
     [](auto*, auto* p) {
       p->push_back(FsPartitionEntry{});
       p->back().volume = u"\\Windows";
       p->back().files = {{u"\\Windows\\wince.nls", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, Pattern(4, 1)}};
     }},
    {"a volume of the object store", u"mounted as",
     [](auto*, auto* p) {
       p->push_back(FsPartitionEntry{});
       p->back().volume = u"Temp";
       p->back().files = {{u"Temp\\x.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, Pattern(4, 1)}};
     }},
    {"the volumes mounted over \\Windows", u"mounts its volumes under",
     [](FsStreamSpec* s, auto* p) {
       Files(p, {});
       s->folder = u"Windows";
     }},
    {"a record outside its volume, after the last partition", u"belong to no partition",
     [](auto*, auto* p) { Files(p, {{u"\\USB HD\\IMAGES\\nk.bin", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, {}}}); }},
};

// Each hostile stream is refused with its reason, and the flash, the store's
// sectors and the object store's files are exactly as they were.
TEST_P(ImageTrustTest, HostileStreamsAreRefusedBeforeAnythingChanges) {
  Attach();
  ClockSkipSleepsForTests(true);
  std::vector<uint8_t> cells = FlashCells();
  std::vector<SectorRun> disk = StoreSectorRuns(FwlState()->storeDeviceName);
  std::map<std::string, std::string> files = ObjectStore(dir_);
  for (const HostileStream& h : kHostile) {
    SCOPED_TRACE(h.what);
    std::u16string path = StreamFile(h.damage);
    files = ObjectStore(dir_);  // the stream file itself is new
    EXPECT_NE(Update(path), FWL_OK);
    EXPECT_NE(std::u16string(RefusalText()).find(h.reason), std::u16string::npos) << Utf16ToUtf8(RefusalText());
    EXPECT_TRUE(FlashCells() == cells);
    EXPECT_TRUE(StoreSectorRuns(FwlState()->storeDeviceName) == disk);
    EXPECT_TRUE(ObjectStore(dir_) == files);
  }
  // The same streams undamaged land, also with "the module's own" place.
  EXPECT_EQ(Update(StreamFile([](FsStreamSpec*, auto* p) { Files(p, {}); })), FWL_OK);
  EXPECT_EQ(Update(StreamFile([](FsStreamSpec* s, auto*) { s->memBase = s->memLen = kFsStreamUnknown; })), FWL_OK);
  ClockSkipSleepsForTests(false);
}

// A file-level restore leaves the storage profile as it found it, so the
// module's programs keep mounting the flash disk.
TEST_P(ImageTrustTest, ARestoreLeavesTheStorageProfileAsItWas) {
  Attach();
  ClockSkipSleepsForTests(true);
  auto profile = [] {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\Profiles\\FlashDisk", 0, 0, &key),
              ERROR_SUCCESS);
    DWORD autoMount = 0, bytes = sizeof autoMount, type = 0;
    RegQueryValueExW(key, u"AutoMount", nullptr, &type, reinterpret_cast<BYTE*>(&autoMount), &bytes);
    RegCloseKey(key);
    return autoMount;
  };
  DWORD before = profile();
  ASSERT_EQ(Update(StreamFile([](FsStreamSpec*, auto* p) { Files(p, {}); })), FWL_OK);
  EXPECT_EQ(profile(), before);
  EXPECT_NE(GetFileAttributesW(u"\\Hard Disk\\Docs\\notes.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(FWLBackupToFile(u"\\Hard Disk\\after.bin", REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr), FWL_OK);
  ClockSkipSleepsForTests(false);
}

// A backup of the whole module kept on the flash disk cannot be read once the
// update takes the flash disk offline: refused before anything is erased.
TEST_P(ImageTrustTest, AnImageOnTheFlashDiskItWouldTakeOfflineIsRefused) {
  Attach();
  ClockSkipSleepsForTests(true);
  ASSERT_EQ(FWLBackupToFile(u"\\Hard Disk\\all.bin", REGION_ALL, nullptr, nullptr, nullptr), FWL_OK);
  ASSERT_EQ(FWLBackupToFile(u"\\Hard Disk\\config.bin", REGION_CONFIG_BLOCK, nullptr, nullptr, nullptr), FWL_OK);
  RegionSummary fs = {REGION_FILE_SYSTEM, 0, 0, 0};
  ASSERT_EQ(FWLGetRegionInfo(&fs, nullptr), FWL_OK);
  BinImageSpec overRegistryAndDisk = OneRecord(0x1400000, 0x100);  // records only, no stream
  overRegistryAndDisk.bin.imageLength = fs.start + 0x100 - 0x1400000;
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(BinImageBuild(overRegistryAndDisk, &bytes, &error)) << error;
  ASSERT_TRUE(PutModuleFile(u"\\Hard Disk\\records.bin", bytes));
  std::vector<uint8_t> cells = FlashCells();
  for (const char16_t* path :
       {u"\\Hard Disk\\all.bin", u"\\Temp\\..\\hard disk\\all.bin", u"\\Hard Disk\\records.bin"}) {
    EXPECT_EQ(Update(path), FWL_ERR_AREA);
    EXPECT_NE(std::u16string(RefusalText()).find(u"copy it to another volume"), std::u16string::npos);
    EXPECT_TRUE(FlashCells() == cells);
  }
  // One that leaves the flash disk alone may stay there.
  EXPECT_EQ(Update(u"\\Hard Disk\\config.bin"), FWL_OK);
  ClockSkipSleepsForTests(false);
}

// Erasing a bootloader and writing nothing there leaves a module that does not
// start; an image that erases only what it rewrites stays welcome.
TEST_P(ImageTrustTest, AnImageThatErasesTheBootloaderMustWriteOne) {
  Attach();
  std::vector<uint8_t> cells = FlashCells();
  BinImageSpec endOnly;
  endOnly.bin.imageStart = 0;
  endOnly.bin.imageLength = 0x1000;
  BinImageSpec elsewhere = OneRecord(0x40000, 0x100);
  elsewhere.bin.imageStart = 0;
  elsewhere.bin.imageLength = 0x40100;
  for (const BinImageSpec* spec : {&endOnly, &elsewhere}) {
    EXPECT_EQ(Update(Place(*spec)), FWL_ERR_FILE_FORMAT);
    EXPECT_NE(std::u16string(RefusalText()).find(u"writes nothing into it"), std::u16string::npos);
    EXPECT_TRUE(FlashCells() == cells);
  }
  BinImageSpec emptyConfig;
  emptyConfig.bin.imageStart = 0x40000;
  emptyConfig.bin.imageLength = 0x40000;
  EXPECT_EQ(Update(Place(emptyConfig)), FWL_OK);
}

INSTANTIATE_TEST_SUITE_P(Boards, ImageTrustTest, ::testing::ValuesIn(kBoards), BoardName);

}  // namespace
