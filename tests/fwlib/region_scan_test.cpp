// Region discovery on factory modules and on changed flash contents: each
// region's rule, the sort by base and the lengths only the neighbours tell.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash_layer.h"
#include "fwlib/image_size.h"
#include "fwlib/init.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "tests/fwlib/library_fixture.h"

namespace {

// The factory module of the default board.
constexpr uint32_t kFlashBytes = 0x02000000;
constexpr uint32_t kBootloaderBytes = 0x24000;
constexpr uint32_t kSecondBootloaderBytes = 0x20000;
constexpr uint32_t kOsBase = 0x80000;
constexpr uint32_t kOsBytes = 0x64000;
constexpr uint32_t kRegistryBase = 0x1400000;
constexpr uint32_t kRegistryMarker = 0x01234567;

struct ScanCase {
  const char* name;
  std::vector<std::string> settings;
  void (*change)(LibraryTest*);  // applied to the factory flash
  uint32_t region;
  FlashRegion expected;
};

void Unchanged(LibraryTest*) {}

const ScanCase kScanCases[] = {
    {"factory bootloader", {}, Unchanged, REGION_BOOTLOADER, {REGION_BOOTLOADER, 0, 0x40000, kBootloaderBytes}},
    {"no bootloader", {"factory.bootloader=none"}, Unchanged, REGION_BOOTLOADER,
     {REGION_BOOTLOADER | REGION_ABSENT, 0, 0x40000, 0}},
    {"bootloader behind a boot sector", {},
     [](LibraryTest* t) {
       t->Erase(0, 0x40000);
       t->PutRomImage(0x8000, {.bytes = 0x20000});
     },
     REGION_BOOTLOADER, {REGION_BOOTLOADER, 0, 0x40000, 0x28000}},
    {"bootloader valid by its RAM words", {},
     [](LibraryTest* t) { t->PutRomImage(0, {.bytes = kBootloaderBytes, .headerAddressMatches = false}); },
     REGION_BOOTLOADER, {REGION_BOOTLOADER, 0, 0x40000, kBootloaderBytes}},
    {"bootloader header unsound", {},
     [](LibraryTest* t) {
       t->PutRomImage(0, {.bytes = kBootloaderBytes, .headerAddressMatches = false, .ramWordsIncreasing = false});
     },
     REGION_BOOTLOADER, {REGION_BOOTLOADER | REGION_ABSENT, 0, 0x40000, 0}},
    {"first of two stages, second one not found", {}, [](LibraryTest* t) { t->PutWords(16, {2}); },
     REGION_BOOTLOADER, {REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER, 0, 0x40000, kBootloaderBytes}},

    {"factory config block", {}, Unchanged, REGION_CONFIG_BLOCK, {REGION_CONFIG_BLOCK, 0x40000, 0x40000, 0x400}},
    {"config block full", {"factory.config_block_bytes=0x40000"}, Unchanged, REGION_CONFIG_BLOCK,
     {REGION_CONFIG_BLOCK, 0x40000, 0x40000, 0x40000}},
    {"config block ending in its second page", {"factory.config_block_bytes=0x1234"}, Unchanged,
     REGION_CONFIG_BLOCK, {REGION_CONFIG_BLOCK, 0x40000, 0x40000, 0x1234}},
    {"config block without its marker", {"factory.config_block_bytes=0"}, Unchanged, REGION_CONFIG_BLOCK,
     {REGION_CONFIG_BLOCK, 0x40000, 0x40000, 0}},

    {"factory OS image", {}, Unchanged, REGION_OS_IMAGE, {REGION_OS_IMAGE, kOsBase, 0x1380000, kOsBytes}},
    {"OS image with SSCR record", {"factory.sscr_bytes=0x100"}, Unchanged, REGION_OS_IMAGE,
     {REGION_OS_IMAGE, kOsBase, 0x1380000, kOsBytes + 0x100 + 16}},
    // 0x4FFF + 20 bytes of record, rounded up to the word where the SSCR record starts.
    {"compressed OS image with SSCR record", {},
     [](LibraryTest* t) {
       t->Erase(kOsBase, kOsBytes);
       t->PutCompImage(kOsBase, 0x4FFF);
       t->PutSscrRecord(kOsBase + 0x5014, 0x40);
     },
     REGION_OS_IMAGE, {REGION_OS_IMAGE, kOsBase, 0x1380000, 0x5014 + 0x40 + 16}},
    {"no OS image", {}, [](LibraryTest* t) { t->Erase(kOsBase, kOsBytes); }, REGION_OS_IMAGE,
     {REGION_OS_IMAGE | REGION_ABSENT, kOsBase, 0x1380000, 0}},
    {"OS image where the layout puts it", {"bsp.os_image_base=0x100000"}, Unchanged, REGION_OS_IMAGE,
     {REGION_OS_IMAGE, 0x100000, 0x1300000, kOsBytes}},

    {"registry marker only in the second half", {},
     [](LibraryTest* t) {
       t->PutWords(kRegistryBase, {0, 0});
       t->PutWords(kRegistryBase + 0x40000, {kRegistryMarker, 0x2345});
     },
     REGION_REGISTRY, {REGION_REGISTRY, kRegistryBase, 0x80000, 0x234D}},
    {"registry marker in both halves", {},
     [](LibraryTest* t) {
       t->PutWords(kRegistryBase, {kRegistryMarker, 0x100});
       t->PutWords(kRegistryBase + 0x40000, {kRegistryMarker, 0x999});
     },
     REGION_REGISTRY, {REGION_REGISTRY, kRegistryBase, 0x80000, 0x108}},
    {"registry without marker", {},
     [](LibraryTest* t) {
       t->PutWords(kRegistryBase, {0, 0});
       t->PutWords(kRegistryBase + 0x40000, {0, 0});
     },
     REGION_REGISTRY, {REGION_REGISTRY, kRegistryBase, 0x80000, 0}},
    {"registry where the layout puts it", {"bsp.registry_base=0x1800000", "bsp.registry_half=0x80000"},
     [](LibraryTest* t) {
       t->PutWords(0x1800000, {0, 0});
       t->PutWords(0x1880000, {kRegistryMarker, 0x40});
     },
     REGION_REGISTRY, {REGION_REGISTRY, 0x1800000, 0x100000, 0x48}},

    {"second bootloader base with nothing there", {"bsp.second_bootloader_base=0x1F00000"}, Unchanged,
     REGION_SECOND_BOOTLOADER, {REGION_SECOND_BOOTLOADER | REGION_ABSENT, 0x1F00000, 0x100000, 0}},
    // Last in the table: it reaches the end of the flash.
    {"second bootloader at the end of the flash",
     {"factory.flash_disk_key=none", "bsp.second_bootloader_base=0x1F00000", "board.two_stage=true"}, Unchanged,
     REGION_SECOND_BOOTLOADER,
     {REGION_SECOND_BOOTLOADER, 0x1F00000, kFlashBytes - 0x1F00000, kSecondBootloaderBytes}},
};

using RegionScanTest = LibraryTest;

TEST_F(RegionScanTest, EachRegionFollowsItsRule) {
  for (const ScanCase& c : kScanCases) {
    SCOPED_TRACE(c.name);
    Attach(c.settings);
    if (HasFatalFailure()) return;
    c.change(this);
    ASSERT_EQ(FWLInit(), FWL_OK);
    EXPECT_EQ(Describe(Entry(c.region)), Describe(c.expected));
    TearDown();
  }
}

TEST_F(RegionScanTest, TwoStageBoardNamesBothBootloaders) {
  Attach({"board.two_stage=true"});
  ASSERT_EQ(FWLInit(), FWL_OK);
  FlashRegion first = Entry(REGION_BOOTLOADER);
  EXPECT_EQ(Describe(first), Describe({REGION_BOOTLOADER | REGION_FIRST_BOOTLOADER, 0, 0x40000, kBootloaderBytes}));
  EXPECT_EQ(Describe(Entry(REGION_SECOND_BOOTLOADER)),
            Describe({REGION_SECOND_BOOTLOADER, 0x80000, 0x80000, kSecondBootloaderBytes}));
  EXPECT_EQ(Describe(Entry(REGION_OS_IMAGE)), Describe({REGION_OS_IMAGE, 0x100000, 0x1300000, kOsBytes}));
  EXPECT_EQ(std::u16string(FWLGetRegionName(first.id)), u"First Bootloader");
}

TEST_F(RegionScanTest, TableIsSortedByBaseWithOpenLengthsFromTheNeighbours) {
  // The OS image above the registry: the absent File System reaches up to it,
  // and it reaches the end of the flash.
  Attach({"factory.flash_disk_key=none", "bsp.os_image_base=0x1C00000"});
  ASSERT_EQ(FWLInit(), FWL_OK);
  const uint32_t order[] = {REGION_BOOTLOADER, REGION_SECOND_BOOTLOADER, REGION_CONFIG_BLOCK,
                            REGION_REGISTRY,   REGION_FILE_SYSTEM,       REGION_OS_IMAGE};
  for (size_t i = 0; i < REGION_COUNT; i++) {
    EXPECT_EQ(RegionTable()[i].id & REGION_ID_BITS, order[i]) << i;
  }
  const FlashRegion& end = RegionTable()[REGION_COUNT];
  EXPECT_EQ(end.id | end.base | end.length | end.used, 0u);
  EXPECT_EQ(RegionFileSystemIndex(), 4u);
  EXPECT_EQ(Describe(Entry(REGION_FILE_SYSTEM)),
            Describe({REGION_FILE_SYSTEM | REGION_ABSENT, 0x1480000, 0x1C00000 - 0x1480000, 0}));
  EXPECT_EQ(Describe(Entry(REGION_OS_IMAGE)),
            Describe({REGION_OS_IMAGE, 0x1C00000, kFlashBytes - 0x1C00000, kOsBytes}));
}

TEST_F(RegionScanTest, ScanRediscoversOnlyTheMaskedRegions) {
  Attach();
  PutWords(kRegistryBase, {kRegistryMarker, 0x1000});
  PutWords(kRegistryBase + 0x40000, {0, 0});
  ASSERT_EQ(FWLInit(), FWL_OK);
  PutWords(kRegistryBase, {kRegistryMarker, 0x20});
  Erase(kOsBase, 0x100);

  EXPECT_EQ(FWLScanRegions(REGION_BOOTLOADER), FWL_OK);
  EXPECT_EQ(Entry(REGION_REGISTRY).used, 0x1008u);
  EXPECT_EQ(Entry(REGION_OS_IMAGE).id, REGION_OS_IMAGE);

  // Only the low 8 bits name regions.
  EXPECT_EQ(FWLScanRegions(0x100 | REGION_REGISTRY), FWL_OK);
  EXPECT_EQ(Entry(REGION_REGISTRY).used, 0x28u);
  EXPECT_EQ(Entry(REGION_OS_IMAGE).id, REGION_OS_IMAGE);

  EXPECT_EQ(FWLScanRegions(REGION_ALL), FWL_OK);
  EXPECT_EQ(Entry(REGION_OS_IMAGE).id, REGION_OS_IMAGE | REGION_ABSENT);
}

TEST_F(RegionScanTest, ImageSizeNeverReadsPastTheFlash) {
  Attach({"factory.flash_disk_key=none"});
  ASSERT_EQ(FWLInit(), FWL_OK);
  // A ROM header pointer far past the flash.
  PutWords(0x1F00040, {0x43454345, 0x80000000, 0xFFFFFF00});
  EXPECT_EQ(FWLGetImageSize(0x1F00000), 0u);
  EXPECT_EQ(FWLGetImageSize(kFlashBytes - 8), 0u);
  EXPECT_EQ(FWLGetImageSize(0xFFFFFFF0), 0u);
  EXPECT_EQ(FWLGetImageSize(kOsBase), kOsBytes);
}

TEST_F(RegionScanTest, ImageSizeNeedsTheFlashLayer) {
  Attach();
  EXPECT_EQ(FWLGetImageSize(kOsBase), 0u);
  EXPECT_EQ(FlashType, FLASH_TYPE_NONE) << "a look-up started the flash layer";
}

}  // namespace
