// The storage manager's operations on both OS generations: the path chosen by
// the OS version, the core library bound per call, the store path of the
// older system and its entries' results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/storage.h"
#include "platform/syscall_entries.h"
#include "platform/text.h"
#include "storage/store_access.h"
#include "tests/support/temp_module.h"

namespace {

constexpr WCHAR kStoreName[] = u"Internal Flash";

void ResetLayers() {
  StoreAccessResetForTests();  // lets go of a cached core library first
  LibraryResetForTests();
  SystemCallEntryResetForTests();
  StorageResetForTests();
}

class StoreAccessTest : public ::testing::Test {
 protected:
  void Attach(const std::vector<std::string>& settings) {
    ResetLayers();
    dir_ = AttachTempModuleWith(settings);
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    ResetLayers();
    PlatformDetachModule();
  }
  // The device name of the factory store, found by enumeration.
  std::u16string FindDevice() {
    STOREINFO info = {};
    info.cbSize = STORE_INFO_BYTES;
    HANDLE search = FindFirstStore(&info);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    if (search == INVALID_HANDLE_VALUE) return {};
    EXPECT_EQ(std::u16string(info.szStoreName), kStoreName);
    std::u16string device(info.szDeviceName, TextLengthBounded(info.szDeviceName, std::size(info.szDeviceName)));
    info.cbSize = STORE_INFO_BYTES;
    EXPECT_FALSE(FindNextStore(search, &info)) << "one store only";
    EXPECT_TRUE(FindCloseStore(search));
    return device;
  }
  std::string dir_;
};

TEST_F(StoreAccessTest, BothPathsReachTheStoreAndItsPartitions) {
  for (const char* major : {"5", "6", "7"}) {
    SCOPED_TRACE(major);
    Attach({std::string("board.os_major=") + major});
    if (HasFatalFailure()) return;
    std::u16string device = FindDevice();
    ASSERT_FALSE(device.empty());
    HANDLE store = OpenStore(device.c_str());
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    STOREINFO info = {};
    info.cbSize = STORE_INFO_BYTES;
    EXPECT_TRUE(GetStoreInfo(store, &info));
    EXPECT_EQ(std::u16string(info.szStoreName), kStoreName);
    EXPECT_GT(info.snNumSectors, 0u);

    PARTINFO part = {};
    part.cbSize = PARTITION_INFO_BYTES;
    HANDLE search = FindFirstPartition(store, &part);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::u16string partition = part.szPartitionName;
    EXPECT_FALSE(partition.empty());
    part.cbSize = PARTITION_INFO_BYTES;
    EXPECT_FALSE(FindNextPartition(search, &part)) << "one partition only";
    EXPECT_TRUE(FindClosePartition(search));

    HANDLE opened = OpenPartition(store, partition.c_str());
    EXPECT_NE(opened, INVALID_HANDLE_VALUE);
    if (opened != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(CloseHandle(opened));
    }
    EXPECT_EQ(OpenPartition(store, u"no such partition"), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(store));
    EXPECT_EQ(OpenStore(u"DSK9:"), INVALID_HANDLE_VALUE);
    // The newer system loaded and released the core library once per call.
    EXPECT_EQ(LibraryReferenceCount(STORE_CORE_LIBRARY), 0);
    EXPECT_EQ(StoreAccessCachedLibrary(), nullptr);
    TearDown();
  }
}

TEST_F(StoreAccessTest, MissingEntryFailsOnTheNewerSystemOnly) {
  for (const char* major : {"5", "6", "7"}) {
    SCOPED_TRACE(major);
    bool named = std::string(major) == "6";
    Attach({std::string("board.os_major=") + major});
    if (HasFatalFailure()) return;
    std::u16string device = FindDevice();
    HANDLE store = OpenStore(device.c_str());
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    PARTINFO part = {};
    part.cbSize = PARTITION_INFO_BYTES;
    HANDLE search = FindFirstPartition(store, &part);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClosePartition(search);
    HANDLE partition = OpenPartition(store, part.szPartitionName);
    ASSERT_NE(partition, INVALID_HANDLE_VALUE);
    // Mounted on first sight; only a dismounted partition can be mounted.
    ASSERT_TRUE(DismountStore(store));

    LibraryHideExportForTests(u"OpenStore");
    LibraryHideExportForTests(u"MountPartition");
    HANDLE again = OpenStore(device.c_str());
    EXPECT_EQ(again == INVALID_HANDLE_VALUE, named);
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    // The library stays loaded after a failed lookup, until the next bind.
    EXPECT_EQ(LibraryReferenceCount(STORE_CORE_LIBRARY), named ? 1 : 0);
    EXPECT_EQ(MountPartition(partition) == FALSE, named);
    EXPECT_EQ(LibraryReferenceCount(STORE_CORE_LIBRARY), named ? 1 : 0);
    STOREINFO info = {};
    info.cbSize = STORE_INFO_BYTES;
    EXPECT_TRUE(GetStoreInfo(store, &info));
    EXPECT_EQ(LibraryReferenceCount(STORE_CORE_LIBRARY), 0);
    CloseHandle(partition);
    CloseHandle(store);
    TearDown();
  }
}

TEST_F(StoreAccessTest, OlderSystemNormalisesEntryResults) {
  Attach({});
  std::u16string device = FindDevice();
  HANDLE store = OpenStore(device.c_str());
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  const uintptr_t dismount = SystemCallEntryAddress(kApiSetFileSystem, kMethodDismountStore);
  ASSERT_EQ(dismount, 0xF000E3F8u);
  const std::pair<DWORD, BOOL> cases[] = {{0, FALSE}, {1, TRUE}, {2, FALSE}, {0xFFFFFFFF, FALSE}, {0x101, FALSE}};
  for (const auto& [entryResult, seen] : cases) {
    SCOPED_TRACE(entryResult);
    SystemCallEntryForceResultForTests(dismount, entryResult);
    EXPECT_EQ(DismountStore(store), seen);
  }
  SystemCallEntryResetForTests();
  CloseHandle(store);
}

TEST_F(StoreAccessTest, OlderSystemCutsLongDeviceNames) {
  Attach({});
  std::u16string device = FindDevice();
  ASSERT_FALSE(device.empty());
  std::u16string name(250, u'x');
  for (size_t i = 0; i < name.size(); i++) name[i] = static_cast<char16_t>(u'A' + i % 26);
  WCHAR path[MAX_PATH];
  StoreOpenPath(name.c_str(), path);
  EXPECT_EQ(std::u16string(path), u"\\StoreMgr\\" + name.substr(0, STORE_DEVICE_NAME_MAX_CHARS));
  StoreOpenPath(device.c_str(), path);
  EXPECT_EQ(std::u16string(path), u"\\StoreMgr\\" + device);
  HANDLE store = OpenStore(device.c_str());
  EXPECT_NE(store, INVALID_HANDLE_VALUE);
  CloseHandle(store);
}

}  // namespace
