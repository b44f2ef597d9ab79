// The File System region: the flash disk driver's key, its storage profile,
// the store "Internal Flash" and what its sectors and partitions hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fwlib/fs_region.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/region_scan.h"
#include "fwlib/results.h"
#include "fwlib/work_buffer.h"
#include "module/flash_disk.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "storage/store_access.h"
#include "tests/fwlib/library_fixture.h"

namespace {

// Where the factory puts the flash disk on the default board.
constexpr uint32_t kDiskBase = 0x1480000;
constexpr uint32_t kDiskBytes = 0xB80000;
constexpr uint32_t kDiskBlock = 0x40000;
constexpr uint32_t kSectorBytes = 512;
constexpr WCHAR kVolume[] = u"\\Hard Disk";

class FsRegionTest : public LibraryTest {
 protected:
  // Bytes of the sectors that hold data, as the module's flash disk counts them.
  uint32_t MappedBytes() {
    std::string error;
    const ModuleFlash* flash = PlatformModuleFlash(&error);
    EXPECT_NE(flash, nullptr) << error;
    if (flash == nullptr) return 0;
    FlashDisk disk;
    FlashDiskGeometry geometry{kDiskBase, kDiskBytes, kDiskBlock, kSectorBytes};
    EXPECT_TRUE(FlashDiskMount(*flash, geometry, &disk, &error)) << error;
    return FlashDiskMappedCount(disk, 0, FlashDiskSectorCount(disk)) * kSectorBytes;
  }
  uint32_t VolumeBytesInUse() {
    ULARGE_INTEGER total = {}, free = {};
    EXPECT_TRUE(GetDiskFreeSpaceExW(kVolume, nullptr, &total, &free));
    return static_cast<uint32_t>(total.QuadPart - free.QuadPart);
  }
  std::u16string StoreDeviceName() { return FwlState()->storeDeviceName; }
};

TEST_F(FsRegionTest, FoundThroughEitherDriverKeyOnEitherSystem) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"built-in driver", {}},
      {"block device driver", {"factory.flash_disk_key=blockdevice"}},
      {"newer OS", {"board.os_major=6"}},
  };
  for (const auto& [name, settings] : cases) {
    SCOPED_TRACE(name);
    Attach(settings);
    if (HasFatalFailure()) return;
    ASSERT_EQ(FWLInit(), FWL_OK);
    uint32_t mapped = MappedBytes();
    EXPECT_GT(mapped, 0u) << "the factory store holds data";
    EXPECT_EQ(Describe(Entry(REGION_FILE_SYSTEM)), Describe({REGION_FILE_SYSTEM, kDiskBase, kDiskBytes, mapped}));
    EXPECT_FALSE(StoreDeviceName().empty());
    HANDLE store = OpenStore(FwlState()->storeDeviceName);
    EXPECT_NE(store, INVALID_HANDLE_VALUE);
    if (store != INVALID_HANDLE_VALUE) CloseHandle(store);
    EXPECT_EQ(FwlState()->fsBytesInUse, VolumeBytesInUse());
    EXPECT_GT(FwlState()->fsBytesInUse, 0u);
    TearDown();
  }
}

TEST_F(FsRegionTest, AbsentWithoutDriverKeyOrInternalFlashProfile) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"no driver key", {"factory.flash_disk_key=none"}},
      {"another profile name", {"factory.profile_name=Internal Flash 2"}},
  };
  for (const auto& [name, settings] : cases) {
    SCOPED_TRACE(name);
    Attach(settings);
    if (HasFatalFailure()) return;
    ASSERT_EQ(FWLInit(), FWL_OK);
    EXPECT_NE(Entry(REGION_FILE_SYSTEM).id & REGION_ABSENT, 0u);
    RegionSummary summary = {REGION_FILE_SYSTEM, 0, 0, 0};
    EXPECT_EQ(FWLGetRegionInfo(&summary, nullptr), FWL_ERR_NO_REGION);
    EXPECT_TRUE(StoreDeviceName().empty());
    TearDown();
  }
}

TEST_F(FsRegionTest, RescanForgetsAStoreThatWentAway) {
  Attach();
  ASSERT_EQ(FWLInit(), FWL_OK);
  ASSERT_FALSE(StoreDeviceName().empty());
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD"), ERROR_SUCCESS);
  EXPECT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
  EXPECT_EQ(Describe(Entry(REGION_FILE_SYSTEM)),
            Describe({REGION_FILE_SYSTEM | REGION_ABSENT, kDiskBase, 0x02000000 - kDiskBase, 0}));
  EXPECT_TRUE(StoreDeviceName().empty());
  EXPECT_EQ(FwlState()->fsBytesInUse, 0u);
}

TEST_F(FsRegionTest, SectorCountDoesNotDependOnTheWorkBuffer) {
  Attach();
  ASSERT_EQ(FWLInit(), FWL_OK);
  uint32_t mapped = MappedBytes();
  // Largest allocation allowed -> the File System's used bytes. A 4-byte
  // buffer holds no sector's question and answer: nothing is counted.
  const std::pair<uint32_t, uint32_t> cases[] = {
      {WORK_BUFFER_NO_LIMIT, mapped}, {0x1000, mapped}, {0x100, mapped}, {7, 0}, {0, 0}};
  for (const auto& [limit, used] : cases) {
    SCOPED_TRACE(limit);
    WorkBufferLimitForTests(limit);
    EXPECT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
    EXPECT_EQ(Entry(REGION_FILE_SYSTEM).used, used);
    EXPECT_FALSE(WorkBufferHeld()) << "the scan kept a buffer it allocated";
  }

  // A buffer the caller holds is used and left alone.
  WorkBufferLimitForTests(0x800);
  ASSERT_TRUE(WorkBufferAcquire());
  uint8_t* held = WorkBufferData();
  EXPECT_EQ(FWLScanRegions(REGION_FILE_SYSTEM), FWL_OK);
  EXPECT_EQ(Entry(REGION_FILE_SYSTEM).used, mapped);
  EXPECT_EQ(WorkBufferData(), held);
}

}  // namespace
