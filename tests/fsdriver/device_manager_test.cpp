// The module's device manager as programs see it: devices found by name,
// stopped, started from driver keys and their interfaces, shared by every
// process on the module and reset by a module restart.
#include <sys/wait.h>
#include <unistd.h>

#include "module/board_support.h"
#include "platform/device_manager.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "storage/store_access.h"
#include "tests/fsdriver/fsdriver_fixture.h"

namespace {

constexpr char16_t kNewKey[] = u"Drivers\\BuiltIn\\FWLFMD";
constexpr int kChildFailed = 1;

// Copies the factory driver's values into `key`, as our own instance of it.
void CopyFactoryDriver(const char16_t* key) {
  for (const char16_t* name : {u"Dll", u"Profile", u"MemBase", u"MemLen", u"BlockSize", u"SectorSize"}) {
    std::optional<RawValue> v = ReadValue(kBuiltInKey, name);
    ASSERT_TRUE(v);
    WriteValue(key, name, v->type, v->bytes.data(), static_cast<DWORD>(v->bytes.size()));
  }
}

HANDLE FindDevice(const char16_t* name, DEVMGR_DEVICE_INFORMATION* info,
                  DeviceSearchType type = DeviceSearchByLegacyName) {
  *info = DEVMGR_DEVICE_INFORMATION{};
  info->dwSize = sizeof *info;
  return FindFirstDevice(type, name, info);
}

HANDLE DeviceHandleOf(const char16_t* name) {
  DEVMGR_DEVICE_INFORMATION info;
  HANDLE search = FindDevice(name, &info);
  if (search == INVALID_HANDLE_VALUE) return nullptr;
  FindClose(search);
  return info.hDevice;
}

std::vector<std::u16string> StoreDevices() {
  std::vector<std::u16string> devices;
  for (const STOREINFO& info : ListStores()) devices.push_back(DeviceOf(info));
  return devices;
}

DWORD Error() { return GetLastError(); }

}  // namespace

TEST_F(FsDriverTest, BootDeviceIsFoundByEitherNameAndTheRecordIsChecked) {
  size_t handles = HandleCount();
  DEVMGR_DEVICE_INFORMATION info;
  HANDLE search = FindDevice(u"dsk1:", &info);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_NE(info.hDevice, nullptr);
  EXPECT_NE(info.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(info.dwSize, sizeof info);
  EXPECT_EQ(std::u16string(info.szLegacyName), u"DSK1:");
  EXPECT_EQ(std::u16string(info.szDeviceKey), kBuiltInKey);
  EXPECT_EQ(std::u16string(info.szDeviceName), u"$device\\DSK1");
  EXPECT_FALSE(FindNextDevice(search, &info));
  EXPECT_EQ(Error(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(HandleCount(), handles);

  search = FindDevice(u"$device\\DSK1", &info, DeviceSearchByDeviceName);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(search));

  EXPECT_EQ(FindDevice(u"DSK2:", &info), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Error(), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(FindDevice(u"DSK1:", &info, DeviceSearchByBusName), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  info.dwSize = DEVMGR_DEVICE_INFORMATION_32BIT_BYTES - 1;
  EXPECT_EQ(FindFirstDevice(DeviceSearchByLegacyName, u"DSK1:", &info), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Error(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(HandleCount(), handles);
}

TEST_F(FsDriverTest, DeactivatingTakesTheStoreAwayOnceAndForeignHandlesAreRefused) {
  HANDLE store = OpenStore(u"DSK1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  HANDLE device = DeviceHandleOf(u"DSK1:");
  ASSERT_NE(device, nullptr);
  EXPECT_FALSE(DeactivateDevice(store));
  EXPECT_EQ(Error(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeactivateDevice(INVALID_HANDLE_VALUE));

  EXPECT_TRUE(DeactivateDevice(device));
  EXPECT_TRUE(StoreDevices().empty());
  STOREINFO info{};
  info.cbSize = sizeof info;
  EXPECT_FALSE(GetStoreInfo(store, &info));
  EXPECT_FALSE(DeactivateDevice(device));
  EXPECT_EQ(Error(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(FsDriverTest, DeactivatedStoreIsGoneForAnotherProcessToo) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Another program on the same module stops the flash disk.
    HANDLE device = DeviceHandleOf(u"DSK1:");
    _exit(device != nullptr && DeactivateDevice(device) ? 0 : kChildFailed);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  EXPECT_TRUE(StoreDevices().empty());
  EXPECT_EQ(OpenStore(u"DSK1:"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(DeviceHandleOf(u"DSK1:"), nullptr);
}

TEST_F(FsDriverTest, ActivationStartsAStoreOnTheFirstFreeIndex) {
  CopyFactoryDriver(kNewKey);
  HANDLE second = ActivateDeviceEx(kNewKey, nullptr, 0, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(StoreDevices(), (std::vector<std::u16string>{u"DSK1:", u"DSK2:"}));

  // With the boot instance gone, a new one takes its name, and a handle of
  // the old store does not reach the new one.
  HANDLE oldStore = OpenStore(u"DSK1:");
  ASSERT_NE(oldStore, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(DeactivateDevice(DeviceHandleOf(u"DSK1:")));
  HANDLE third = ActivateDeviceEx(kNewKey, nullptr, 0, nullptr);
  ASSERT_NE(third, nullptr);
  EXPECT_NE(third, second);
  EXPECT_EQ(StoreDevices(), (std::vector<std::u16string>{u"DSK2:", u"DSK1:"}));
  STOREINFO info{};
  info.cbSize = sizeof info;
  EXPECT_FALSE(GetStoreInfo(oldStore, &info));
  EXPECT_EQ(Error(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(oldStore));

  // The driver's values were read when it started.
  RemoveKey(kNewKey);
  EXPECT_EQ(StoreDevices().size(), 2u);
  HANDLE store = OpenStore(u"DSK2:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(GetStoreInfo(store, &info));
  EXPECT_EQ(std::u16string(info.szStoreName), kStoreName);
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(FsDriverTest, ActivationRefusesDriversThatCannotStart) {
  EXPECT_EQ(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(Error(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ActivateDeviceEx(nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(Error(), ERROR_INVALID_PARAMETER);

  CopyFactoryDriver(kNewKey);
  RemoveValue(kNewKey, u"MemLen");
  EXPECT_EQ(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(Error(), ERROR_INVALID_PARAMETER);
  WriteDword(kNewKey, u"MemLen", 0x10000000);  // more than the flash holds
  EXPECT_EQ(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(Error(), ERROR_INVALID_PARAMETER);
  CopyFactoryDriver(kNewKey);
  WriteText(kNewKey, u"Prefix", u"DK");
  EXPECT_EQ(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  WriteText(kNewKey, u"Prefix", u"DSK");
  WriteDword(kNewKey, u"Index", 1);  // the boot instance has it
  EXPECT_EQ(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(StoreDevices(), std::vector<std::u16string>{u"DSK1:"});

  WriteText(kNewKey, u"Prefix", u"FSD");
  EXPECT_NE(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(StoreDevices(), (std::vector<std::u16string>{u"DSK1:", u"FSD1:"}));
}

TEST_F(FsDriverTest, WithdrawingTheBlockInterfaceDetachesTheStoreUntilItIsAdvertisedAgain) {
  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", FALSE));
  EXPECT_TRUE(StoreDevices().empty());
  EXPECT_NE(DeviceHandleOf(u"DSK1:"), nullptr) << "the device itself keeps running";
  EXPECT_FALSE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", FALSE));
  EXPECT_EQ(Error(), ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"dsk1:", TRUE));
  EXPECT_TRUE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"DSK1:", TRUE));
  EXPECT_EQ(StoreDevices(), std::vector<std::u16string>{u"DSK1:"});

  EXPECT_FALSE(AdvertiseInterface(nullptr, u"DSK1:", TRUE));
  EXPECT_EQ(Error(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(AdvertiseInterface(&BLOCK_DRIVER_GUID, u"", TRUE));
  EXPECT_EQ(Error(), ERROR_INVALID_PARAMETER);
}

using FsDriverDeathTest = FsDriverTest;

TEST_F(FsDriverDeathTest, ModuleRestartBringsTheBootDeviceBack) {
  CopyFactoryDriver(kNewKey);
  ASSERT_TRUE(DeactivateDevice(DeviceHandleOf(u"DSK1:")));
  ASSERT_NE(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  ASSERT_NE(ActivateDeviceEx(kNewKey, nullptr, 0, nullptr), nullptr);
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  ASSERT_NE(flash, nullptr) << error;
  EXPECT_EXIT(BoardRestart(dir_, *flash, false, false, &error), ::testing::ExitedWithCode(kModuleRestartExitStatus), "module restarted");

  EXPECT_EQ(StoreDevices(), std::vector<std::u16string>{u"DSK1:"});
  DEVMGR_DEVICE_INFORMATION info;
  HANDLE search = FindDevice(u"DSK1:", &info);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(info.szDeviceKey), kBuiltInKey);
  EXPECT_TRUE(FindClose(search));
  EXPECT_EQ(DeviceHandleOf(u"DSK2:"), nullptr);
}
