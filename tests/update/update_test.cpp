// FWLDoUpdate on the virtual module of each board: what lands in the flash,
// byte by byte, inside and outside the image's range; the callbacks; the
// configuration items; and every reason it refuses to start.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "flash/bsp.h"
#include "flash/hardware.h"
#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "fwlib/work_buffer.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "storage/store_access.h"
#include "tests/support/boards.h"
#include "tests/support/store_sectors.h"
#include "tests/support/temp_module.h"
#include "tests/support/xsvf_writer.h"
#include "tests/update/update_fixture.h"

namespace {

constexpr uint32_t kOsLinked = 0x80200000;
constexpr uint32_t kOsShift = kOsBase - kOsLinked;
// The flash up to the end of the OS images here: where a test has shown
// that nothing outside the image changes, the others read no further.
constexpr uint32_t kOsImageEnd = kOsBase + 0x300000;

// An OS image with gaps between records, records that start and end off
// word boundaries and share words, one out of address order, and one record
// larger than the 2 MB work buffer.
BinImageSpec GappyOsImage() {
  BinImageSpec spec;
  spec.bin.imageStart = kOsLinked;
  spec.bin.imageLength = 0x300000;
  spec.bin.records = {
      {kOsLinked, Pattern(0x1000, 1)},
      {kOsLinked + 0x3008, Pattern(3, 3)},      // shares no word with the one below
      {kOsLinked + 0x3003, Pattern(5, 2)},      // odd start, odd length, behind the one before
      {kOsLinked + 0x300B, Pattern(9, 4)},      // shares a word with the one at 0x3008
      {kOsLinked + 0x10000, Pattern(0x210001, 5)},
      {kOsLinked + 0x2FFFFE, Pattern(2, 6)},    // the last bytes of the range
  };
  return spec;
}

class UpdateFlowTest : public BoardUpdateTest {
 protected:
  void ExpectRecordsAt(const std::vector<uint8_t>& file, uint32_t shift);
};

// The CPLD belongs to the processor, and the order of streams to the store,
// not to the flash: one board will do (a backup of the NAND board's whole
// flash disk takes seconds).
class NorUpdateFlowTest : public UpdateTest {};

TEST_P(UpdateFlowTest, WritesEveryRecordAndTouchesNothingOutsideTheImage) {
  Attach();
  BinImageSpec spec = GappyOsImage();
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = Flash();
  ASSERT_EQ(Update(path), FWL_OK);
  std::vector<uint8_t> after = Flash(), expected = Expected(before, spec, kOsShift);
  EXPECT_TRUE(after == expected) << Differences(after, expected);
  EXPECT_FALSE(WorkBufferHeld());
}

TEST_P(UpdateFlowTest, ASmallWorkBufferWritesTheSameBytes) {
  Attach();
  BinImageSpec spec = GappyOsImage();
  spec.bin.records[4].data.resize(0x3001);
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = FlashRange(0, kOsImageEnd);
  for (uint32_t limit : {0x100u, 7u}) {
    SCOPED_TRACE(limit);
    WorkBufferFree();
    WorkBufferLimitForTests(limit);
    ASSERT_EQ(Update(path), FWL_OK);
    std::vector<uint8_t> after = FlashRange(0, kOsImageEnd), expected = Expected(before, spec, kOsShift);
    EXPECT_TRUE(after == expected) << Differences(after, expected);
  }
}

TEST_P(UpdateFlowTest, CallbacksSeeTheEraseEachRecordAndEveryPiece) {
  Attach();
  BinImageSpec spec = GappyOsImage();
  std::u16string path = Place(spec);
  ASSERT_EQ(Update(path), FWL_OK);
  // Erase: before every block, from 0 on; then the image length twice.
  ASSERT_GE(g_log.erase.size(), 3u);
  EXPECT_EQ(g_log.erase.front(), std::make_pair(0u, 0x300000u));
  EXPECT_EQ(g_log.erase[1], std::make_pair(eraseBlock_, 0x300000u));
  EXPECT_EQ(g_log.erase.back(), std::make_pair(0x300000u, 0x300000u));
  ASSERT_EQ(g_log.sections.size(), spec.bin.records.size());
  uint32_t total = 0;
  for (size_t i = 0; i < spec.bin.records.size(); i++) {
    const BinRecord& r = spec.bin.records[i];
    EXPECT_EQ(g_log.sections[i], (std::vector<uint32_t>{r.address + kOsShift, static_cast<uint32_t>(r.data.size()),
                                                        BinByteSum(r.data)}));
    total += static_cast<uint32_t>(r.data.size());
  }
  EXPECT_EQ(g_log.bytes.back(), std::make_pair(2u, total));
  EXPECT_TRUE(std::count(g_log.bytes.begin(), g_log.bytes.end(), std::make_pair(0x200000u, 0x1000u + 17 + 0x200000)))
      << "the large record goes in pieces of the work buffer";
  // Within a piece the programming is reported as it goes.
  for (size_t i = 1; i < g_log.bytes.size(); i++) {
    EXPECT_LE(g_log.bytes[i].second - g_log.bytes[i - 1].second, UPDATE_BYTES_PROGRESS_STEP) << i;
  }
}

TEST_P(UpdateFlowTest, AStopAskedAnywhereEndsWithUserAbort) {
  Attach();
  BinImageSpec spec = GappyOsImage();
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = FlashRange(0x1000000, 0x40000);
  struct Stop {
    const char* where;
    int CallbackLog::*field;
    int at;
  } stops[] = {
      {"before the first block is erased", &CallbackLog::stopErase, 1},
      {"after the erase", &CallbackLog::stopErase, 7},  // six calls while 3 MB are erased, then this one
      {"at the first record", &CallbackLog::stopSection, 1},
      {"after a piece", &CallbackLog::stopBytes, 2},
  };
  for (const Stop& s : stops) {
    SCOPED_TRACE(s.where);
    g_log = CallbackLog{};
    g_log.*s.field = s.at;
    EXPECT_EQ(Update(path), FWL_ERR_USER_ABORT);
  }
  g_log = CallbackLog{};
  g_log.stopErase = 1;
  ASSERT_EQ(Update(Place(OneRecord(0x1000000, 0x100))), FWL_ERR_USER_ABORT);
  EXPECT_TRUE(FlashRange(0x1000000, 0x40000) == before) << "a stop before the first block erases nothing";
}

TEST_P(UpdateFlowTest, AWrongRecordChecksumStopsAfterThatRecord) {
  Attach();
  BinImageSpec spec;
  spec.bin.imageStart = kOsLinked;
  spec.bin.records = {{kOsLinked, Pattern(0x800, 1)}, {kOsLinked + 0x1000, Pattern(0x800, 2), 1},
                      {kOsLinked + 0x2000, Pattern(0x800, 3)}};
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = FlashRange(0, kOsImageEnd), cells = FlashCells();
  EXPECT_EQ(Update(path, 1), FWL_ERR_CHECKSUM) << "validation finds it first";
  EXPECT_TRUE(FlashCells() == cells);
  EXPECT_EQ(Update(path, 0), FWL_ERR_CHECKSUM) << "the update checks each record after writing it";
  std::vector<uint8_t> after = FlashRange(0, kOsImageEnd), expected = Expected(before, spec, kOsShift, 2);
  EXPECT_TRUE(after == expected) << Differences(after, expected);
}

uint64_t ItemValue(uint32_t item, uint32_t bytes) {
  uint64_t value = 0;
  EXPECT_EQ(BspGetInfo(item, &value, bytes), bytes);
  return value;
}

// The board forgets its items while the config block is rewritten.
int ForgetItems(uint32_t, uint32_t, uint32_t) {
  uint64_t zero = 0;
  BspSetInfo(BSP_INFO_CONFIG_0, &zero, BSP_CONFIG_0_BYTES);
  BspSetInfo(BSP_INFO_CONFIG_12, &zero, BSP_CONFIG_12_BYTES);
  return 1;
}

TEST_P(UpdateFlowTest, TheConfigBlockUpdateKeepsTheBoardsItems) {
  Attach({"bsp.item0=0x1122334455667788", "bsp.item12=0xAABBCCDD"});
  BinImageSpec spec;
  spec.bin.imageStart = 0x40000;  // a config block as a backup saved it
  spec.bin.imageLength = 0x40000;
  spec.bin.records.push_back({0x40000, Pattern(0x400, 1)});
  std::u16string path = Place(spec);
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);
  ASSERT_EQ(FWLDoUpdate(nullptr, ForgetItems, nullptr), FWL_OK);
  EXPECT_EQ(ItemValue(BSP_INFO_CONFIG_0, 8), 0x1122334455667788u);
  EXPECT_EQ(ItemValue(BSP_INFO_CONFIG_12, 4), 0xAABBCCDDu);
  EXPECT_EQ(ItemValue(BSP_INFO_HW_VERSION, 8), 0x00020001u) << "hardware version 1.2 written back as read";
  FWLCloseFile();

  // An item the board did not deliver is not written back.
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {"faults.bsp_no_items=12"}));
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);
  ASSERT_EQ(FWLDoUpdate(nullptr, ForgetItems, nullptr), FWL_OK);
  EXPECT_EQ(ItemValue(BSP_INFO_CONFIG_0, 8), 0x1122334455667788u);
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {"faults.bsp_no_items="}));
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  EXPECT_EQ(ItemValue(BSP_INFO_CONFIG_12, 4), 0u);
  FWLCloseFile();

  // An item the board will not take back fails the update; the others are
  // written back all the same.
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {"faults.bsp_set_refused=0", "bsp.item12=0xAABBCCDD"}));
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);
  EXPECT_EQ(FWLDoUpdate(nullptr, ForgetItems, nullptr), FWL_ERR_FLASH_WRITE);
  EXPECT_EQ(ItemValue(BSP_INFO_CONFIG_12, 4), 0xAABBCCDDu);
}

// On NOR the boot blocks are locked; on NAND the boot area goes through the
// shadow and its marker.
TEST_P(UpdateFlowTest, ABootloaderImageReplacesTheBootBlocks) {
  Attach();
  BinImageSpec spec = OneRecord(0xBCA00000, 0x24000);
  std::u16string path = Place(spec);
  std::vector<uint8_t> before = Flash();
  ASSERT_EQ(Update(path), FWL_OK);
  std::vector<uint8_t> after = Flash(), expected = Expected(before, spec, 0u - 0xBCA00000);
  EXPECT_TRUE(after == expected) << Differences(after, expected);
}

TEST_P(UpdateFlowTest, RefusesToStartWithoutEverythingItNeeds) {
  Attach({"board.two_stage=true", "faults.bsp_no_items=5"});
  std::vector<uint8_t> before = FlashCells();
  std::u16string path = Place(OneRecord(0xBCA00000, 0x100));
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);
  EXPECT_EQ(FWLDoUpdate(LogErase, LogSection, LogBytes), FWL_ERR_AREA) << "it stays in the first bootloader";
  EXPECT_FALSE(WorkBufferHeld());
  FWLCloseFile();

  path = Place(OneRecord(0x1000000, 0x100));
  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);
  FWLCloseFile();
  EXPECT_EQ(FWLDoUpdate(LogErase, LogSection, LogBytes), FWL_ERR_OPEN_FILE);

  ASSERT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_OK);
  WorkBufferFree();
  WorkBufferLimitForTests(0);
  EXPECT_EQ(FWLDoUpdate(LogErase, LogSection, LogBytes), FWL_ERR_NO_MEMORY);
  WorkBufferLimitForTests(WORK_BUFFER_NO_LIMIT);

  FwlState()->initialised = false;
  EXPECT_EQ(FWLDoUpdate(LogErase, LogSection, LogBytes), FWL_ERR_NOT_INITIALISED);
  EXPECT_TRUE(g_log.erase.empty() && g_log.sections.empty());
  EXPECT_TRUE(FlashCells() == before);
}

// A sector-level stream the store can take, in sectors past the factory's.
BinImageSpec SectorStreamImage(const std::function<void(FsStreamSpec*)>& damage = nullptr) {
  FsStreamSpec stream = ThisStoreStream();
  if (damage) damage(&stream);
  BinImageSpec spec = OneRecord(0x1400000, 0x100);  // the registry, as a backup writes it
  std::vector<uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(FsStreamBuild(stream, &bytes, &error)) << error;
  spec.streams.push_back(bytes);
  return spec;
}

// A stream the store cannot take is refused before anything is erased or
// written, and the flash disk stays as it was.
TEST_P(UpdateFlowTest, ADamagedStreamIsRefusedBeforeAnythingIsWritten) {
  Attach();
  ClockSkipSleepsForTests(true);
  const struct {
    const char* what;
    std::function<void(FsStreamSpec*)> damage;
    uint32_t truncate;
  } cases[] = {
      {"chunk not in whole sectors", [](FsStreamSpec* s) { s->chunks[0].data.resize(516); }, 0},
      {"sectors past the store's end", [](FsStreamSpec* s) { s->chunks[0].tag = uint32_t(s->storeSectors - 1); }, 0},
      {"no sector size", [](FsStreamSpec* s) { s->sectorSize = 0; }, 0},
      {"chunk longer than the stream", [](FsStreamSpec* s) { s->dataLengthDelta = -512; }, 0},
      {"file cut inside the stream", nullptr, 100},
  };
  std::vector<uint8_t> before = FlashCells();
  std::vector<SectorRun> disk = StoreSectorRuns(FwlState()->storeDeviceName);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BinImageSpec spec = SectorStreamImage(c.damage);
    spec.truncateBytes = c.truncate;
    EXPECT_EQ(Update(Place(spec), 0), FWL_ERR_FILE_FORMAT);
    EXPECT_TRUE(FlashCells() == before);
    EXPECT_TRUE(StoreSectorRuns(FwlState()->storeDeviceName) == disk);
  }
  // Undamaged, the same stream lands.
  EXPECT_EQ(Update(Place(SectorStreamImage())), FWL_OK);
  // The freshly formatted store holds its partition table and the stream's sectors.
  std::vector<SectorRun> restored = StoreSectorRuns(FwlState()->storeDeviceName);
  ASSERT_EQ(restored.size(), 2u);
  EXPECT_EQ(restored[0].first, 0u);
  EXPECT_TRUE(restored[1] == (SectorRun{12000, 2, Pattern(2 * 512, 9)}));
  ClockSkipSleepsForTests(false);
}

// A file-level stream as the image tool writes it: partitions made as
// recorded, folders and files with their attributes, times and contents. One
// whose path climbs out of its volume is refused before anything is written.
TEST_P(UpdateFlowTest, AFileLevelStreamRestoresFoldersAndFiles) {
  Attach();
  ClockSkipSleepsForTests(true);
  // Times the FAT volume keeps exactly: the last access is a date, the last
  // write has two-second steps.
  constexpr uint64_t kCreated = 0x01D08D57063BD500;   // 2015-05-13 08:30:10
  constexpr uint64_t kAccessed = 0x01D08DD8EBAA4000;  // 2015-05-14
  constexpr uint64_t kWritten = 0x01D08F06AB48E000;   // 2015-05-15 12:00:00
  FsPartitionEntry part;
  part.files = {{u"\\Hard Disk", FILE_ATTRIBUTE_DIRECTORY, 0, 0, 0, {}},
                {u"\\Hard Disk\\Docs", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN, 0, 0, 0, {}},
                {u"\\Hard Disk\\Docs\\Read Me.txt", FILE_ATTRIBUTE_ARCHIVE, kCreated, kAccessed, kWritten,
                 Pattern(3001, 4)},
                {u"\\Hard Disk\\empty.bin", FILE_ATTRIBUTE_READONLY, kCreated, kAccessed, kWritten, {}}};
  auto image = [&](const FsPartitionEntry& partition) {
    BinImageSpec spec = SectorStreamImage([&](FsStreamSpec* s) {
      s->type = kFsStreamFiles;
      s->folder = u"Hard Disk";
      s->storePartitions = 1;
      std::string error;
      EXPECT_TRUE(FsFilesChunkBuild({partition}, &s->chunks[0].data, &error)) << error;
      s->chunks[0].tag = s->memBase;
    });
    return Place(spec, "files.bin");
  };
  FsPartitionEntry climbing = part;
  climbing.files.push_back({u"\\Hard Disk\\..\\Windows\\x.txt", FILE_ATTRIBUTE_ARCHIVE, 0, 0, 0, {}});
  std::vector<uint8_t> before = FlashCells();
  EXPECT_EQ(Update(image(climbing)), FWL_ERR_FILE_FORMAT);
  EXPECT_TRUE(FlashCells() == before);

  ASSERT_EQ(Update(image(part)), FWL_OK);
  HANDLE file = CreateFileW(u"\\hard disk\\docs\\read me.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME created, accessed, written;  // before the read moves the access time on
  EXPECT_TRUE(GetFileTime(file, &created, &accessed, &written));
  std::vector<uint8_t> content(4000);
  DWORD done = 0;
  EXPECT_TRUE(ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &done, nullptr));
  content.resize(done);
  CloseHandle(file);
  EXPECT_TRUE(content == Pattern(3001, 4));
  auto ticks = [](const FILETIME& t) { return uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime; };
  EXPECT_EQ(ticks(written), kWritten);
  EXPECT_EQ(ticks(accessed), kAccessed);
  EXPECT_EQ(ticks(created), kCreated);
  EXPECT_NE(GetFileAttributesW(u"\\Hard Disk\\Docs") & FILE_ATTRIBUTE_HIDDEN, 0u);
  EXPECT_NE(GetFileAttributesW(u"\\Hard Disk\\empty.bin") & FILE_ATTRIBUTE_READONLY, 0u);
  ClockSkipSleepsForTests(false);
}

// Streams one after another: the store is formatted for each, so what the
// last one holds is what stays.
TEST_F(NorUpdateFlowTest, OfSeveralStreamsTheLastOneStays) {
  Attach();
  ClockSkipSleepsForTests(true);
  std::vector<SectorRun> original = StoreSectorRuns(FwlState()->storeDeviceName);
  ASSERT_EQ(FWLBackupToFile(u"\\Temp\\first.bin", REGION_FILE_SYSTEM, nullptr, nullptr, nullptr), FWL_OK);
  HANDLE store = OpenStore(FwlState()->storeDeviceName);
  std::vector<uint8_t> extra = Pattern(4 * 512, 5);
  SG_REQ write = {};
  write.sr_start = 9000;
  write.sr_num_sec = 4;
  write.sr_num_sg = 1;
  write.sr_sglist[0] = {extra.data(), static_cast<DWORD>(extra.size())};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(store, IOCTL_DISK_WRITE, &write, sizeof write, nullptr, 0, &returned, nullptr));
  CloseHandle(store);
  ASSERT_EQ(FWLBackupToFile(u"\\Temp\\second.bin", REGION_FILE_SYSTEM, nullptr, nullptr, nullptr), FWL_OK);
  std::vector<uint8_t> first, second;
  std::string error;
  ASSERT_TRUE(BinImageReadFile(ModuleRootPath(dir_) + "/Temp/first.bin", &first, &error)) << error;
  ASSERT_TRUE(BinImageReadFile(ModuleRootPath(dir_) + "/Temp/second.bin", &second, &error)) << error;
  second.insert(second.end(), first.begin(), first.end());
  ASSERT_TRUE(BinImageStore(dir_, "both.bin", second, &error)) << error;

  EXPECT_EQ(Update(std::u16string(kModuleImagesPath) + u"both.bin"), FWL_OK);
  EXPECT_TRUE(StoreSectorRuns(FwlState()->storeDeviceName) == original) << "the sectors at 9000 came only first";
  ClockSkipSleepsForTests(false);
}

// A stream lays its store only where the file's summary says, and never on
// the first bootloader of a fail-safe module: refused before anything is written.
TEST_F(NorUpdateFlowTest, AStreamOutsideTheReportedRegionIsRefused) {
  Attach({"board.two_stage=true"});
  ClockSkipSleepsForTests(true);
  BinImageSpec elsewhere = SectorStreamImage();
  elsewhere.streams.push_back(SectorStreamImage([](FsStreamSpec* s) { s->memBase = 0x100000; }).streams[0]);
  BinImageSpec overBoot = SectorStreamImage([](FsStreamSpec* s) { s->memBase = 0; });
  std::vector<uint8_t> before = FlashCells();
  EXPECT_EQ(Update(Place(elsewhere)), FWL_ERR_AREA);
  EXPECT_TRUE(FlashCells() == before);
  std::u16string path = Place(overBoot);
  EXPECT_EQ(FWLSetBinFile(path.c_str(), nullptr, nullptr, 1), FWL_ERR_AREA) << "refused when the file is opened";
  EXPECT_TRUE(FlashCells() == before);
  ClockSkipSleepsForTests(false);
}

// The store is detached for an update that covers the File System region,
// also without a stream. One that fails before it touched the region
// gives the flash disk back; one that leaves it away makes the next backup
// of everything say so.
TEST_P(UpdateFlowTest, TheFlashDiskComesBackOnlyWhenItsRegionWasNotTouched) {
  // The registry's first block cannot be erased (on NAND, nor moved).
  Attach(Nand() ? NandFaultsWithoutReserve("faults.nand_erase_fail", 0x1400000 / kNandBlockBytes)
                : std::vector<std::string>{"faults.erase_error_block=0x1400000"});
  ClockSkipSleepsForTests(true);  // the storage manager's unload delay before the reload
  RegionSummary fs = {REGION_FILE_SYSTEM, 0, 0, 0};
  ASSERT_EQ(FWLGetRegionInfo(&fs, nullptr), FWL_OK);
  BinImageSpec failing = SectorStreamImage();  // the erase of the registry fails
  EXPECT_EQ(Update(Place(failing, "failing.bin")), FWL_ERR_FLASH_ERASE);
  EXPECT_NE(FwlState()->storeDeviceName[0], 0) << "the flash disk is back";
  EXPECT_FALSE(FwlState()->fsStoreMissing);

  EXPECT_EQ(Update(Place(OneRecord(fs.start, 0x100), "covers.bin")), FWL_OK);
  EXPECT_EQ(FwlState()->storeDeviceName[0], 0) << "detached until the module restarts";
  EXPECT_TRUE(FwlState()->fsStoreMissing);
  EXPECT_EQ(FWLBackupToFile(u"\\Temp\\all.bin", REGION_ALL, nullptr, nullptr, nullptr), FWL_ERR_FS_DRIVER);
  ClockSkipSleepsForTests(false);
}

TEST_F(NorUpdateFlowTest, ACpldSectionIsProgrammedOnlyWhereThereIsACpld) {
  Attach();
  BinImageSpec spec = OneRecord(0x1000000, 0x100);
  spec.hasCpld = true;
  spec.cpld.data = XsvfEmptyDesign();
  std::u16string path = Place(spec);
  EXPECT_EQ(Update(path), FWL_OK) << "ignored on the NOR module";
  EXPECT_EQ(g_log.sections.size(), 1u);

  // The same library on a processor with a CPLD, on a board whose pins reach none.
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {"board.cpu_part_code=8"}));
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  HardwareReset();
  g_log = CallbackLog{};
  EXPECT_EQ(Update(path), FWL_ERR_CPLD_VERSION);
  EXPECT_EQ(g_log.sections.size(), 1u) << "the records were written before";
}

TEST_P(UpdateFlowTest, TheEthernetBootloaderFileLandsAsItsFlatImage) {
  Attach();
  std::vector<uint8_t> bin, flat;
  std::string error;
  ASSERT_TRUE(BinImageReadFile(std::string(FW_SHARED_TESTDATA) + "/bin/EBOOTND.bin", &bin, &error)) << error;
  ASSERT_TRUE(BinImageReadFile(std::string(FW_SHARED_TESTDATA) + "/bin/EBOOTND.nb0", &flat, &error)) << error;
  ASSERT_TRUE(BinImageStore(dir_, "EBOOTND.bin", bin, &error)) << error;
  std::vector<uint8_t> before = Flash();
  ASSERT_EQ(Update(std::u16string(kModuleImagesPath) + u"EBOOTND.bin"), FWL_OK);
  std::vector<uint8_t> after = Flash();
  BinImageSeen seen = BinImageInspect(bin);
  std::vector<bool> covered(flat.size());
  for (const BinRecordSeen& r : seen.records) {
    for (uint32_t i = 0; i < r.length; i++) covered[r.address - seen.imageStart + i] = true;
  }
  for (size_t i = 0; i < 0x3006C; i++) {
    ASSERT_EQ(after[kOsBase + i], covered[i] ? flat[i] : 0xFF) << "at image offset " << i;
  }
  uint64_t erased = (uint64_t{seen.imageLength} + eraseBlock_ - 1) / eraseBlock_ * eraseBlock_;
  EXPECT_TRUE(SameOutside(before, after, kOsBase, kOsBase + erased));
}

// What the file's records say must be at their flash offsets.
void UpdateFlowTest::ExpectRecordsAt(const std::vector<uint8_t>& file, uint32_t shift) {
  BinImageSeen seen = BinImageInspect(file);
  ASSERT_TRUE(seen.endRecord);
  for (const BinRecordSeen& r : seen.records) {
    auto data = file.begin() + static_cast<long>(r.fileOffset + kBinRecordHeaderBytes);
    EXPECT_TRUE(AsWritten({data, data + r.length}, r.address + shift) == FlashRange(r.address + shift, r.length))
        << "record at 0x" << std::hex << r.address;
  }
}

TEST_P(UpdateFlowTest, TheFactorySampleImagesUpdateAFreshModule) {
  for (bool twoStage : {false, true}) {
    SCOPED_TRACE(twoStage ? "two-stage board" : "one-stage board");
    Attach({twoStage ? "board.two_stage=true" : "board.two_stage=false"});
    uint32_t bootloaderAt = twoStage ? 0x80000 : 0;
    uint32_t osBase = twoStage ? 0x100000 : kOsBase;
    for (const char* name : {"eboot.bin", "nk.bin"}) {
      SCOPED_TRACE(name);
      std::vector<uint8_t> file;
      std::string error;
      ASSERT_TRUE(BinImageReadFile(ModuleRootPath(dir_) + "/USB HD/IMAGES/" + name, &file, &error)) << error;
      std::u16string path = std::u16string(kModuleImagesPath) + (name[0] == 'e' ? u"eboot.bin" : u"nk.bin");
      ASSERT_EQ(Update(path), FWL_OK);
      uint32_t landsAt = name[0] == 'e' ? bootloaderAt : osBase;
      ExpectRecordsAt(file, landsAt - BinImageInspect(file).imageStart);
    }
    FWLScanRegions(REGION_SCAN_BITS);
    RegionSummary os = {REGION_OS_IMAGE, 0, 0, 0};
    ASSERT_EQ(FWLGetRegionInfo(&os, nullptr), FWL_OK);
    EXPECT_EQ(os.start, osBase);
    EXPECT_EQ(os.used, 0x64000u) << "the new OS image is found where the old one was";
    RegionSummary boot = {twoStage ? REGION_SECOND_BOOTLOADER : REGION_BOOTLOADER, 0, 0, 0};
    ASSERT_EQ(FWLGetRegionInfo(&boot, nullptr), FWL_OK);
    EXPECT_EQ(boot.used, 0x24000u);
    TearDown();
  }
}

INSTANTIATE_TEST_SUITE_P(Boards, UpdateFlowTest, ::testing::ValuesIn(kBoards), BoardName);

}  // namespace
