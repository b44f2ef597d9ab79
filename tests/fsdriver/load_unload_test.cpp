// Unloading the running flash disk, waiting out the storage manager's unload
// delay, and loading our own instance: on the module's device manager, with
// sleeps skipped so that waits show as tick counts.
#include <fstream>

#include "fwlib/results.h"
#include "module/device_manager.h"
#include "platform/clock.h"
#include "platform/device_manager.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "storage/flash_disk_driver.h"
#include "storage/store_access.h"
#include "tests/fsdriver/fsdriver_fixture.h"

namespace {

constexpr char16_t kStorageManagerKey[] = u"System\\StorageManager";
constexpr DWORD kDefaultDelayMs = 5000;
constexpr DWORD kMarginMs = 100;
constexpr DWORD kLongestDelayMs = 60000;
constexpr DWORD kSettleMs = 500;
// Real time that passes between two steps of a test.
constexpr DWORD kSlackMs = 1500;  // generous: sanitizers and parallel tests slow real time down

bool DeviceRunning(const std::u16string& legacyName) {
  DEVMGR_DEVICE_INFORMATION info{};
  info.dwSize = sizeof info;
  HANDLE search = FindFirstDevice(DeviceSearchByLegacyName, legacyName.c_str(), &info);
  if (search == INVALID_HANDLE_VALUE) return false;
  EXPECT_TRUE(FindClose(search));
  return true;
}

bool StoreListed(const std::u16string& device) {
  for (const STOREINFO& info : ListStores()) {
    if (DeviceOf(info) == device) return true;
  }
  return false;
}

// Ticks WaitDriverUnloadDelay slept for.
DWORD TimedWait() {
  DWORD before = GetTickCount();
  EXPECT_EQ(WaitDriverUnloadDelay(), FWL_OK);
  return GetTickCount() - before;
}

}  // namespace

TEST_F(FsDriverTest, UnloadWithoutStoreNameTouchesNothingButTakesTheTime) {
  Sleep(1000);
  DWORD before = GetTickCount();
  EXPECT_EQ(UnloadFlashDisk(), FWL_OK);
  EXPECT_GE(FlashDiskUnloadTime(), before);
  EXPECT_TRUE(DeviceRunning(u"DSK1:"));
  EXPECT_TRUE(StoreListed(u"DSK1:"));
}

TEST_F(FsDriverTest, UnloadStopsTheStoreDevice) {
  SetStoreDeviceName(u"DSK1:");
  size_t handles = HandleCount();
  EXPECT_EQ(UnloadFlashDisk(), FWL_OK);
  EXPECT_EQ(HandleCount(), handles) << "the device search was left open";
  EXPECT_FALSE(DeviceRunning(u"DSK1:"));
  EXPECT_FALSE(StoreListed(u"DSK1:"));
  EXPECT_EQ(OpenStore(u"DSK1:"), INVALID_HANDLE_VALUE);
}

TEST_F(FsDriverTest, UnloadOfAnUnknownDeviceAdvertisesAndWithdrawsItsInterface) {
  SetStoreDeviceName(u"DSK7:");
  EXPECT_EQ(UnloadFlashDisk(), FWL_OK);
  RegistryData live;
  DeviceTable table;
  std::string error;
  ASSERT_TRUE(RegistryLoadLive(dir_, &live, &error)) << error;
  ASSERT_TRUE(DeviceTableLoad(*PlatformModule(), live, &table, &error)) << error;
  EXPECT_FALSE(DeviceInterfaceAdvertised(table, kBlockDriverInterface, u"DSK7:"));
  // The store that is there is not the one named, and stays.
  EXPECT_TRUE(StoreListed(u"DSK1:"));
}

TEST_F(FsDriverTest, UnreadableDeviceTableFailsTheUnload) {
  SetStoreDeviceName(u"DSK1:");
  std::ofstream(DeviceTablePath(dir_)) << "not a device table\n";
  EXPECT_EQ(UnloadFlashDisk(), FWL_ERR_FS_DRIVER);
  EXPECT_NE(FlashDiskUnloadTime(), 0u);
}

TEST_F(FsDriverTest, WaitCoversTheUnloadDelayFromTheRegistryOrItsDefault) {
  RemoveValue(kStorageManagerKey, u"PNPUnloadDelay");
  ASSERT_EQ(UnloadFlashDisk(), FWL_OK);
  Sleep(1200);
  DWORD waited = TimedWait();
  EXPECT_GE(waited, kDefaultDelayMs - 1200 + kMarginMs - kSlackMs);
  EXPECT_LE(waited, kDefaultDelayMs - 1200 + kMarginMs);
  EXPECT_GE(GetTickCount() - FlashDiskUnloadTime(), kDefaultDelayMs + kMarginMs);

  ASSERT_EQ(UnloadFlashDisk(), FWL_OK);
  Sleep(6000);
  EXPECT_LT(TimedWait(), kSlackMs);

  WriteDword(kStorageManagerKey, u"PNPUnloadDelay", 2000);
  ASSERT_EQ(UnloadFlashDisk(), FWL_OK);
  DWORD unloaded = FlashDiskUnloadTime();
  TimedWait();
  EXPECT_GE(GetTickCount() - unloaded, 2000 + kMarginMs);
  EXPECT_LT(GetTickCount() - unloaded, 2000 + kMarginMs + kSlackMs);

  // A delay of weeks is a broken setting, not a reason to hang the update.
  WriteDword(kStorageManagerKey, u"PNPUnloadDelay", 0x7FFFFFFF);
  ASSERT_EQ(UnloadFlashDisk(), FWL_OK);
  EXPECT_LE(TimedWait(), kLongestDelayMs + kMarginMs);
}

TEST_F(FsDriverTest, LoadFailsWithoutAStartableDriverAndDoesNotSettle) {
  DWORD before = GetTickCount();
  EXPECT_EQ(LoadFlashDisk(), FWL_ERR_FS_DRIVER);  // no restore key yet

  ASSERT_EQ(RegisterFlashDiskDriver(FactoryHeader(FS_STREAM_SECTORS)), FWL_OK);
  DeviceActivationResultForTests(true, INVALID_HANDLE_VALUE);
  EXPECT_EQ(LoadFlashDisk(), FWL_ERR_FS_DRIVER);
  EXPECT_LT(GetTickCount() - before, kSettleMs);
}

TEST_F(FsDriverTest, LoadBringsUpAStoreOnTheNextFreeName) {
  ASSERT_EQ(RegisterFlashDiskDriver(FactoryHeader(FS_STREAM_SECTORS)), FWL_OK);
  DWORD before = GetTickCount();
  EXPECT_EQ(LoadFlashDisk(), FWL_OK);
  EXPECT_GE(GetTickCount() - before, kSettleMs);
  // The boot instance still runs, so ours is the second.
  EXPECT_TRUE(StoreListed(u"DSK1:"));
  EXPECT_TRUE(StoreListed(u"DSK2:"));
}

TEST_F(FsDriverTest, RestoreSequenceLeavesOneStoreThatOutlivesTheCleanUp) {
  SetStoreDeviceName(u"DSK1:");
  ASSERT_EQ(UnloadFlashDisk(), FWL_OK);
  ASSERT_TRUE(ListStores().empty());
  ASSERT_EQ(RegisterFlashDiskDriver(FactoryHeader(FS_STREAM_FILES)), FWL_OK);
  EXPECT_EQ(WaitDriverUnloadDelay(), FWL_OK);
  ASSERT_EQ(LoadFlashDisk(), FWL_OK);
  EXPECT_EQ(UnregisterFlashDiskDriver(), FWL_OK);

  // The driver read its key when it started; removing the values later
  // does not take the store away.
  std::vector<STOREINFO> stores = ListStores();
  ASSERT_EQ(stores.size(), 1u);
  EXPECT_EQ(DeviceOf(stores[0]), u"DSK1:");
  EXPECT_EQ(std::u16string(stores[0].szStoreName), kStoreName);
  // The clean-up put the profile back as it was, so the module's programs
  // find the store mounted again.
  EXPECT_EQ(stores[0].dwMountCount, 1u);
  EXPECT_NE(stores[0].dwAttributes & STORE_ATTRIBUTE_AUTOMOUNT, 0u);
  DEVMGR_DEVICE_INFORMATION info{};
  info.dwSize = sizeof info;
  HANDLE search = FindFirstDevice(DeviceSearchByLegacyName, u"DSK1:", &info);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(info.szDeviceKey), kRestoreKey);
  EXPECT_TRUE(FindClose(search));
}
