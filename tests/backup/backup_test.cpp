// Backups written to files: their shape, their records against the flash,
// the selection rules and the failures, and a backup written back.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <string>
#include <vector>

#include "flash/flash_layer.h"
#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/erase.h"
#include "fwlib/image_size.h"
#include "fwlib/library_state.h"
#include "fwlib/region_scan.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "fwlib/work_buffer.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "module/nand_chips.h"
#include "tests/backup/backup_fixture.h"
#include "tests/support/boards.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/module_content.h"

namespace {

constexpr uint32_t kAllButFileSystem = REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE | REGION_REGISTRY;
// Saving the Bootloader and Config Block of the default board.
constexpr uint32_t kBootRegionsEnd = 0x80000;

class BackupFileTest : public BoardBackupTest {};

// Where the File System's stream goes is the table's business, the same on
// either board; a backup of the NAND board's whole flash disk takes seconds.
class NorBackupTest : public BackupTest {};

uint32_t Backup(uint32_t mask) { return FWLBackupToFile(u"\\backup.bin", mask, LogSummary, LogSection, LogBytes); }

// Validated by the program's own reader, with its summary.
uint32_t Validate(RegionSummary* summary) {
  uint32_t result = FWLSetBinFile(u"\\backup.bin", summary, nullptr, 1);
  FWLCloseFile();
  return result;
}

TEST_P(BackupFileTest, BootloaderAndConfigBlockGiveTwoRecords) {
  Attach();
  FlashRegion boot = Entry(REGION_BOOTLOADER);
  FlashRegion config = Entry(REGION_CONFIG_BLOCK);
  ASSERT_EQ(Backup(REGION_BOOTLOADER | REGION_CONFIG_BLOCK), FWL_OK);

  std::vector<uint8_t> file = BackupBytes();
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(file, &bin));
  EXPECT_EQ(bin.start, 0u);
  EXPECT_EQ(bin.length, kBootRegionsEnd);
  ASSERT_EQ(bin.records.size(), 2u);
  EXPECT_EQ(bin.records[0].address, boot.base);
  EXPECT_EQ(bin.records[0].length, boot.used);
  EXPECT_EQ(bin.records[1].address, config.base);
  EXPECT_EQ(bin.records[1].length, config.used);
  EXPECT_EQ(bin.endEntry, 0xBCA01000u);
  EXPECT_EQ(bin.end, file.size());
  ExpectRecordsMatchModule(bin);

  ASSERT_EQ(g_log.summaries.size(), 1u);
  EXPECT_EQ(g_log.summaries[0].flags & REGION_ID_BITS, REGION_BOOTLOADER | REGION_CONFIG_BLOCK);
  const std::vector<std::vector<uint32_t>> sections = {{boot.base, boot.used, 0}, {config.base, config.used, 0}};
  EXPECT_EQ(g_log.sections, sections);
  ASSERT_FALSE(g_log.bytes.empty());
  EXPECT_EQ(g_log.bytes.back(), std::make_pair(config.used, boot.used + config.used));
  EXPECT_FALSE(WorkBufferHeld());

  RegionSummary summary = {};
  EXPECT_EQ(Validate(&summary), FWL_OK);
  EXPECT_EQ(summary.start, 0u);
  EXPECT_EQ(summary.length, kBootRegionsEnd);
}

TEST_P(BackupFileTest, EmptyConfigBlockGetsNoRecordButStaysInTheExtent) {
  Attach({"factory.config_block_bytes=0"});
  ASSERT_EQ(Entry(REGION_CONFIG_BLOCK).used, 0u);
  ASSERT_EQ(Backup(REGION_BOOTLOADER | REGION_CONFIG_BLOCK), FWL_OK);
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  EXPECT_EQ(bin.length, kBootRegionsEnd);
  ASSERT_EQ(bin.records.size(), 1u);
  EXPECT_EQ(bin.records[0].address, 0u);
  EXPECT_EQ(Validate(nullptr), FWL_OK);
}

// Whole-module backups in small pieces, so every record spans many reads.
void ExpectWholeModule(const std::vector<uint32_t>& regions, const ParsedBin& bin) {
  ASSERT_EQ(bin.records.size(), regions.size());
  for (size_t i = 0; i < regions.size(); i++) {
    FlashRegion entry = Entry(regions[i]);
    EXPECT_EQ(bin.records[i].address, entry.base) << i;
    uint32_t saved = regions[i] == REGION_REGISTRY ? entry.length : entry.used;
    EXPECT_EQ(bin.records[i].length, saved) << i;
  }
}

TEST_P(BackupFileTest, OneStageModuleWithoutFileSystemSavesEveryPresentRegion) {
  // No flash disk: REGION_ALL then names nothing that needs a stream, and
  // the missing second bootloader is left out without complaint.
  Attach({"factory.flash_disk_key=none"});
  WorkBufferLimitForTests(0x8000);
  ASSERT_EQ(Backup(REGION_ALL), FWL_OK);
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  FlashRegion registry = Entry(REGION_REGISTRY);
  EXPECT_EQ(bin.start, 0u);
  EXPECT_EQ(bin.length, registry.base + registry.length);
  ExpectWholeModule({REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_OS_IMAGE, REGION_REGISTRY}, bin);
  ExpectRecordsMatchModule(bin);
  EXPECT_GT(g_log.bytes.size(), 4u);
  for (const auto& [section, total] : g_log.bytes) EXPECT_LE(section, total);
  EXPECT_EQ(Validate(nullptr), FWL_OK);
}

TEST_P(BackupFileTest, TwoStageModuleSavesBothBootloaders) {
  // The first bootloader's flag bit must not count as a region the mask lacks.
  Attach({"board.two_stage=true"});
  ASSERT_NE(Entry(REGION_BOOTLOADER).id & REGION_FIRST_BOOTLOADER, 0u);
  ASSERT_EQ(Backup(kAllButFileSystem | REGION_SECOND_BOOTLOADER), FWL_OK);
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  ExpectWholeModule({REGION_BOOTLOADER, REGION_CONFIG_BLOCK, REGION_SECOND_BOOTLOADER, REGION_OS_IMAGE,
                     REGION_REGISTRY},
                    bin);
  ExpectRecordsMatchModule(bin);
  EXPECT_EQ(Validate(nullptr), FWL_OK);
}

TEST_F(NorBackupTest, FileSystemAtTheEndIsCutFromTheExtentAndFollowsAsAStream) {
  Attach();
  FlashRegion registry = Entry(REGION_REGISTRY);
  ASSERT_EQ(Entry(REGION_FILE_SYSTEM).base, registry.base + registry.length);
  EXPECT_EQ(Backup(REGION_ALL), FWL_OK);
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  EXPECT_EQ(bin.start, 0u);
  EXPECT_EQ(bin.length, registry.base + registry.length);
  EXPECT_EQ(bin.records.size(), 4u);

  // Alone it writes no BIN part at all: the file is the stream.
  EXPECT_EQ(Backup(REGION_FILE_SYSTEM), FWL_OK);
  std::vector<uint8_t> stream = BackupBytes();
  ASSERT_GE(stream.size(), 4u);
  EXPECT_EQ(std::string(stream.begin(), stream.begin() + 4), "HSXT");
}

TEST_F(NorBackupTest, FileSystemBetweenRegionsStaysInsideTheExtent) {
  // The board cannot put its flash disk below the OS image, so the table is
  // told so: the File System is shortened and the OS image moved behind it.
  Attach();
  for (size_t i = 0; i < REGION_COUNT; i++) {
    FlashRegion& entry = RegionTable()[i];
    if ((entry.id & REGION_FILE_SYSTEM) != 0) entry.length = 0x200000;
  }
  FlashRegion moved = Entry(REGION_FILE_SYSTEM);
  for (size_t i = 0; i < REGION_COUNT; i++) {
    FlashRegion& entry = RegionTable()[i];
    if ((entry.id & REGION_OS_IMAGE) != 0) entry = {entry.id, moved.base + moved.length, 0, 0x1000};
  }
  ASSERT_EQ(FWLScanRegions(REGION_NONE), FWL_OK);  // sorts and measures only
  FlashRegion fs = Entry(REGION_FILE_SYSTEM);
  FlashRegion os = Entry(REGION_OS_IMAGE);
  ASSERT_LT(fs.base, os.base);
  EXPECT_EQ(Backup(REGION_REGISTRY | REGION_FILE_SYSTEM | REGION_OS_IMAGE), FWL_OK);
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  EXPECT_EQ(bin.start, Entry(REGION_REGISTRY).base);
  EXPECT_EQ(bin.start + bin.length, os.base + os.length);
  ASSERT_EQ(bin.records.size(), 2u);
  EXPECT_EQ(bin.records[1].address, os.base);

  // With nothing before it, the extent starts at the next region.
  EXPECT_EQ(Backup(REGION_FILE_SYSTEM | REGION_OS_IMAGE), FWL_OK);
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  EXPECT_EQ(bin.start, os.base);
  EXPECT_EQ(bin.length, os.length);
}

TEST_P(BackupFileTest, SelectionAndFileFailures) {
  Attach({"factory.flash_disk_key=none"});
  EXPECT_EQ(Backup(REGION_NONE), FWL_ERR_NO_REGION);
  EXPECT_EQ(Backup(REGION_FILE_SYSTEM), FWL_ERR_NO_REGION);
  EXPECT_EQ(Backup(REGION_BOOTLOADER | REGION_SECOND_BOOTLOADER), FWL_ERR_REGION_ABSENT);
  EXPECT_TRUE(g_log.summaries.empty());
  EXPECT_EQ(FWLBackupToFile(u"\\No Such Folder\\backup.bin", REGION_BOOTLOADER, nullptr, nullptr, nullptr),
            FWL_ERR_OPEN_FILE);

  g_log.stopBytes = 2;
  WorkBufferLimitForTests(0x8000);
  EXPECT_EQ(Backup(REGION_BOOTLOADER), FWL_ERR_USER_ABORT);
  EXPECT_FALSE(WorkBufferHeld());

  ResetBackupLayers();
  EXPECT_EQ(Backup(REGION_BOOTLOADER), FWL_ERR_NOT_INITIALISED);
}

// No partial file in the target's folder.
bool NoPartialFileLeft(const std::string& root) {
  for (const auto& entry : std::filesystem::directory_iterator(root)) {
    if (entry.path().extension() == ".tmp") return false;
  }
  return true;
}

// The host refuses to grow the file past a few kilobytes, as a full card
// would: the backup stops with the write failure instead of reporting
// success, and the backup that was there before stays as it was.
TEST_P(BackupFileTest, TargetThatStopsTakingBytesFailsTheBackupAndKeepsTheOldFile) {
  Attach();
  ASSERT_EQ(Backup(REGION_CONFIG_BLOCK), FWL_OK);
  std::vector<uint8_t> earlier = BackupBytes();
  FileSizeLimit limit(0x3000);
  ASSERT_TRUE(limit.active);
  uint32_t result = Backup(REGION_BOOTLOADER | REGION_CONFIG_BLOCK);
  limit.Restore();
  EXPECT_EQ(result, FWL_ERR_WRITE_FILE);
  EXPECT_FALSE(WorkBufferHeld());
  EXPECT_TRUE(BackupBytes() == earlier);
  EXPECT_TRUE(NoPartialFileLeft(ModuleRootPath(dir_)));
}

// A backup that dies half-way (power, a kill) leaves its partial file under
// another name, and that file is refused as an image, also when cut right
// after the bootloader's record header at address 0.
TEST_P(BackupFileTest, ABackupCutOffNeverReadsAsAComplete) {
  Attach({"factory.flash_disk_key=none"});
  constexpr rlim_t kAfterFirstRecordHeader = kBinHeaderBytes + kBinRecordHeaderBytes;
  for (rlim_t cut : {kAfterFirstRecordHeader, rlim_t{0x3000}}) {
    pid_t child = ::fork();
    if (child == 0) {
      struct rlimit small = {cut, cut};
      ::setrlimit(RLIMIT_FSIZE, &small);  // the write past it ends the process
      Backup(REGION_ALL);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "cut at " << cut;
    EXPECT_FALSE(std::filesystem::exists(ModuleRootPath(dir_) + "/backup.bin"));
    for (const auto& entry : std::filesystem::directory_iterator(ModuleRootPath(dir_))) {
      if (entry.path().extension() != ".tmp") continue;
      std::u16string name = u"\\" + entry.path().filename().u16string();
      EXPECT_NE(FWLSetBinFile(name.c_str(), nullptr, nullptr, 1), FWL_OK) << "cut at " << cut;
      FWLCloseFile();
      std::filesystem::remove(entry.path());
    }
  }
}

// The flash lock could not be had while the table was filled: the regions
// then look absent, and a backup of everything must not quietly narrow.
TEST_P(BackupFileTest, ARegionTheScanCouldNotReadFailsTheBackup) {
  Attach({"factory.flash_disk_key=none"});
  FlashLockRefuseForTests(true);
  EXPECT_EQ(FWLScanRegions(REGION_ALL), FWL_ERR_FLASH_READ);
  FlashLockRefuseForTests(false);
  EXPECT_EQ(Backup(REGION_ALL), FWL_ERR_FLASH_READ);
  EXPECT_FALSE(std::filesystem::exists(ModuleRootPath(dir_) + "/backup.bin"));
  ASSERT_EQ(FWLScanRegions(REGION_ALL), FWL_OK);
  EXPECT_EQ(Backup(REGION_ALL), FWL_OK);
}

// An image header that claims more than its region holds (here the record
// after the OS image) is saved up to the region's end, so that the backup
// writes back.
TEST_P(BackupFileTest, UsedSizeNeverRunsPastItsRegion) {
  Attach({"factory.flash_disk_key=none"});
  FlashRegion os = Entry(REGION_OS_IMAGE);
  uint32_t image = (FWLGetImageSize(os.base) + 3) & ~3u;
  const uint32_t record[] = {0x52435353, 0, 0x7FFFFFF0, 0};  // "SSCR", with a huge length
  const auto* bytes = reinterpret_cast<const uint8_t*>(record);
  ModuleFlashPut(dir_, os.base + image, {bytes, bytes + sizeof record});
  ASSERT_EQ(FWLScanRegions(REGION_ALL), FWL_OK);
  EXPECT_EQ(Entry(REGION_OS_IMAGE).used, Entry(REGION_OS_IMAGE).length);
  ASSERT_EQ(Backup(REGION_OS_IMAGE), FWL_OK);
  EXPECT_EQ(Validate(nullptr), FWL_OK);
}

// On NAND the bootloader goes back through the boot area's shadow.
TEST_P(BackupFileTest, BackupWrittenBackRestoresErasedRegions) {
  Attach();
  const uint32_t mask = REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE | REGION_REGISTRY;
  // All of them below the File System, which stays as it is.
  const uint32_t end = Entry(REGION_FILE_SYSTEM).base;
  std::vector<uint8_t> before = FlashRange(0, end);
  ASSERT_EQ(Backup(mask), FWL_OK);
  ASSERT_EQ(FWLEraseRegions(mask, nullptr), FWL_OK);
  for (uint32_t region : {REGION_BOOTLOADER, REGION_OS_IMAGE}) {
    ASSERT_EQ(FlashRange(Entry(region).base, 1)[0], 0xFF);
  }

  ASSERT_EQ(FWLSetBinFile(u"\\backup.bin", nullptr, nullptr, 1), FWL_OK);
  EXPECT_EQ(FWLDoUpdate(nullptr, nullptr, nullptr), FWL_OK);
  FWLCloseFile();
  EXPECT_TRUE(FlashRange(0, end) == before);
}

class NandBackupTest : public BackupTest {
 protected:
  void SetUp() override { board_ = "nand"; }
};

// The regions' blocks are where the logical flash says: their logical pages
// are the physical ones. The OS image is the update program's, whole pages
// with codes; the Registry is the module OS's, its first page written in
// parts, its later pages (and its second half) erased: the controller calls
// those uncorrectable, and the backup must see them as the erased pages
// they are.
struct WeakPage {
  const char* name;
  uint32_t region;
  uint32_t base;
  const char* fault;
  uint32_t page;  // of the region
  uint32_t result;
};

constexpr uint32_t kOsBase = 0x80000;
constexpr uint32_t kRegistryBase = 0x1400000;

class NandWeakPageBackup : public NandBackupTest, public ::testing::WithParamInterface<WeakPage> {};

// A bit error the code repairs gives the clean bytes, wherever it sits; one
// it cannot repair fails the backup instead of going into the file.
TEST_P(NandWeakPageBackup, BitErrorsAreRepairedOrFailTheBackup) {
  const WeakPage& c = GetParam();
  Attach({std::string(c.fault) + "=" + std::to_string(c.base / kNandPageBytes + c.page)});
  ASSERT_EQ(Entry(c.region).base, c.base);
  ASSERT_EQ(Backup(c.region), c.result);
  if (c.result != FWL_OK) return;
  ParsedBin bin;
  ASSERT_TRUE(ParseBin(BackupBytes(), &bin));
  ASSERT_EQ(bin.records.size(), 1u);
  EXPECT_TRUE(bin.records[0].data == FlashRange(c.base, static_cast<uint32_t>(bin.records[0].data.size())));
}

constexpr const char* kCorrectable = "faults.nand_correctable_pages";
constexpr const char* kUncorrectable = "faults.nand_uncorrectable_pages";

INSTANTIATE_TEST_SUITE_P(
    Faults, NandWeakPageBackup,
    ::testing::Values(WeakPage{"OsImageFirstPage", REGION_OS_IMAGE, kOsBase, kCorrectable, 0, FWL_OK},
                      WeakPage{"OsImageLaterPage", REGION_OS_IMAGE, kOsBase, kCorrectable, 5, FWL_OK},
                      WeakPage{"OsImageUncorrectable", REGION_OS_IMAGE, kOsBase, kUncorrectable, 5, FWL_ERR_FLASH_READ},
                      WeakPage{"Registry", REGION_REGISTRY, kRegistryBase, kCorrectable, 0, FWL_OK},
                      WeakPage{"RegistryErasedPage", REGION_REGISTRY, kRegistryBase, kCorrectable, 1, FWL_OK},
                      WeakPage{"RegistryUncorrectable", REGION_REGISTRY, kRegistryBase, kUncorrectable, 0,
                               FWL_ERR_FLASH_READ}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Boards, BackupFileTest, ::testing::ValuesIn(kBoards), BoardName);

}  // namespace
