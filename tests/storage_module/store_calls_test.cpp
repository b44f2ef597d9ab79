// The storage manager's operations through both ways the program reaches
// them: by name from the core library, and through the store paths and
// system-call entries of the older OS.
#include "platform/datetime.h"
#include "platform/files.h"
#include "platform/text.h"
#include "tests/storage_module/storage_fixture.h"

namespace {

std::string Text(const WCHAR* text) { return Utf16ToUtf8(text); }

uint64_t Ticks(const FILETIME& t) { return uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime; }

const char16_t* const kOperations[] = {
    u"OpenStore",         u"DismountStore",     u"FormatStore",     u"FindFirstStore",         u"FindNextStore",
    u"FindCloseStore",    u"GetStoreInfo",      u"CreatePartitionEx", u"OpenPartition",        u"MountPartition",
    u"SetPartitionAttributes", u"FormatPartition", u"FindFirstPartition", u"FindNextPartition", u"FindClosePartition",
};

TEST_F(StorageTest, TheFactoryStoreIsFoundAndDescribedByName) {
  STOREINFO info{};
  info.cbSize = sizeof info;
  HANDLE search = Bound<PFN_FindFirstStore>(u"FindFirstStore")(&info);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  EXPECT_EQ(info.cbSize, STORE_INFO_BYTES);
  EXPECT_EQ(Text(info.szDeviceName), "DSK1:");
  EXPECT_EQ(Text(info.szStoreName), "Internal Flash");
  EXPECT_EQ(Text(info.sdi.szProfile), "FlashDisk");
  EXPECT_EQ(info.sdi.cbSize, sizeof(STORAGEDEVICEINFO));
  EXPECT_EQ(info.snNumSectors, kStoreSectors);
  EXPECT_EQ(info.dwBytesPerSector, kSectorBytes);
  EXPECT_EQ(info.dwPartitionCount, 1u);
  EXPECT_EQ(info.dwMountCount, 1u);
  EXPECT_EQ(info.snFreeSectors, 0u);  // the partition spans the store
  EXPECT_EQ(info.snBiggestPartCreatable, 0u);
  EXPECT_EQ(info.dwAttributes & STORE_ATTRIBUTE_UNFORMATTED, 0u);
  EXPECT_NE(info.dwAttributes & STORE_ATTRIBUTE_AUTOMOUNT, 0u);
  SYSTEMTIME built = {2009, 3, 0, 5, 14, 3, 7, 0};
  FILETIME expected;
  ASSERT_TRUE(SystemTimeToFileTime(&built, &expected));
  EXPECT_EQ(Ticks(info.ftCreated), Ticks(expected));

  info.cbSize = sizeof info;
  EXPECT_EQ(Fails(Bound<PFN_FindNextStore>(u"FindNextStore")(search, &info)), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(Bound<PFN_FindCloseStore>(u"FindCloseStore")(search));

  // Device names compare without regard to case; a handle answers like the search.
  HANDLE store = Bound<PFN_OpenStore>(u"OpenStore")(u"dsk1:");
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  STOREINFO byHandle = StoreInfo(store);
  EXPECT_EQ(byHandle.snNumSectors, info.snNumSectors);
  EXPECT_EQ(Text(byHandle.szStoreName), "Internal Flash");
  EXPECT_TRUE(CloseHandle(store));
  EXPECT_EQ(Fails(Bound<PFN_OpenStore>(u"OpenStore")(u"DSK2:")), ERROR_FILE_NOT_FOUND);
}

TEST_F(StorageTest, TheOlderOsReachesTheSameStoreThroughPathsAndEntries) {
  HANDLE store = CreateFileW(u"\\StoreMgr\\DSK1:", 0, 0, nullptr, 0, 0, nullptr);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  STOREINFO info{};
  info.cbSize = sizeof info;
  EXPECT_EQ(Entry<SyscallGetStoreInfo>(kApiSetFileSystem, kMethodGetStoreInfo)(store, &info), kSyscallSuccess);
  EXPECT_EQ(Text(info.szDeviceName), "DSK1:");

  PARTINFO part{};
  part.cbSize = sizeof part;
  HANDLE parts = Entry<SyscallFindFirstPartition>(kApiSetFileSystem, kMethodFindFirstPartition)(store, &part);
  ASSERT_NE(parts, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Text(part.szPartitionName), "Part00");
  part.cbSize = sizeof part;
  EXPECT_EQ(Entry<SyscallFindNext>(kApiSetSearch, kMethodFindNext)(parts, &part), kSyscallFailure);
  EXPECT_EQ(Entry<SyscallFindClose>(kApiSetSearch, kMethodFindClose)(parts), kSyscallSuccess);
  EXPECT_TRUE(CloseHandle(store));

  // A store search is a find search whose record is a STOREINFO.
  STOREINFO found{};
  found.cbSize = sizeof found;
  HANDLE stores = FindFirstFileW(u"\\StoreMgr", reinterpret_cast<WIN32_FIND_DATAW*>(&found));
  ASSERT_NE(stores, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Text(found.szStoreName), "Internal Flash");
  found.cbSize = sizeof found;
  EXPECT_EQ(Entry<SyscallFindNext>(kApiSetSearch, kMethodFindNext)(stores, &found), kSyscallFailure);
  EXPECT_EQ(Entry<SyscallFindClose>(kApiSetSearch, kMethodFindClose)(stores), kSyscallSuccess);

  // The general find entries still serve file searches.
  WIN32_FIND_DATAW data{};
  HANDLE files = FindFirstFileW(u"\\*", &data);
  ASSERT_NE(files, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Entry<SyscallFindClose>(kApiSetSearch, kMethodFindClose)(files), kSyscallSuccess);

  EXPECT_EQ(SystemCallEntry(SystemCallEntryAddress(kApiSetFileSystem, 5)), nullptr);
  EXPECT_EQ(SystemCallEntry(0), nullptr);
  EXPECT_EQ(SystemCallEntryAddress(kApiSetFileSystem, kMethodDismountStore), 0xF000E3F8u);
}

TEST_F(StorageTest, AForcedEntryResultIsReturnedAsIs) {
  HANDLE store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  auto dismount = Entry<SyscallDismountStore>(kApiSetFileSystem, kMethodDismountStore);
  SystemCallEntryForceResultForTests(SystemCallEntryAddress(kApiSetFileSystem, kMethodDismountStore), 2);
  EXPECT_EQ(dismount(store), 2u);
  EXPECT_EQ(StoreInfo(store).dwMountCount, 1u);  // a forced entry does nothing
  SystemCallEntryResetForTests();
  EXPECT_EQ(dismount(store), kSyscallSuccess);
  EXPECT_EQ(StoreInfo(store).dwMountCount, 0u);
  CloseHandle(store);
}

TEST_F(StorageTest, EachModuleHasItsOwnMountTable) {
  HANDLE store = OpenStore();
  ASSERT_TRUE(Bound<PFN_DismountStore>(u"DismountStore")(store));
  EXPECT_EQ(StoreInfo(store).dwMountCount, 0u);
  EXPECT_TRUE(CloseHandle(store));
  // Another module's store of the same device name mounts as its profile says.
  dir_ = AttachTempModule();
  store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  EXPECT_EQ(StoreInfo(store).dwMountCount, 1u);
  EXPECT_TRUE(CloseHandle(store));
}

// The sequence a file-system restore runs: dismount, format, then per
// partition create, open, format, mount, set attributes.
TEST_F(StorageTest, AStoreIsFormattedAndPartitionedThroughTheEntries) {
  HANDLE store = CreateFileW(u"\\StoreMgr\\DSK1:", 0, 0, nullptr, 0, 0, nullptr);
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Entry<SyscallFormatStore>(kApiSetFileSystem, kMethodFormatStore)(store), kSyscallFailure);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);  // still mounted
  EXPECT_EQ(Entry<SyscallDismountStore>(kApiSetFileSystem, kMethodDismountStore)(store), kSyscallSuccess);
  ASSERT_EQ(Entry<SyscallFormatStore>(kApiSetFileSystem, kMethodFormatStore)(store), kSyscallSuccess);
  STOREINFO info = StoreInfo(store);
  EXPECT_EQ(info.dwPartitionCount, 0u);
  EXPECT_EQ(info.snFreeSectors, kPartitionSectors);
  EXPECT_EQ(info.snBiggestPartCreatable, kPartitionSectors);
  std::vector<DWORD> addresses = Addresses(store, 0, kStoreSectors);
  EXPECT_EQ(std::count(addresses.begin(), addresses.end(), SECTOR_ADDRESS_NONE), kStoreSectors - 1)
      << "only the partition table may hold data";

  auto create = Entry<SyscallCreatePartitionEx>(kApiSetFileSystem, kMethodCreatePartitionEx);
  auto open = Entry<SyscallOpenPartition>(kApiSetFileSystem, kMethodOpenPartition);
  auto format = Entry<SyscallFormatPartition>(kApiSetFileSystem, kMethodFormatPartition);
  auto mount = Entry<SyscallMountPartition>(kApiSetFileSystem, kMethodMountPartition);
  auto attributes = Entry<SyscallSetPartitionAttributes>(kApiSetFileSystem, kMethodSetPartitionAttributes);
  ASSERT_EQ(create(store, u"Part00", 0x0B, 0, 1000, 0), kSyscallSuccess);
  EXPECT_EQ(StoreInfo(store).snBiggestPartCreatable, kPartitionSectors - 1000);
  ASSERT_EQ(create(store, u"Part01", 0x0C, 0, kPartitionSectors - 1000, 0), kSyscallSuccess);
  EXPECT_EQ(create(store, u"Part00", 0x0B, 0, 1, 0), kSyscallFailure);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(create(store, u"Part02", 0x0B, 0, 1, 0), kSyscallFailure);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(create(store, u"Part02", 0x0B, 1, 0, 0), kSyscallFailure);  // 2^32 sectors

  for (const char16_t* name : {u"Part00", u"Part01"}) {
    HANDLE partition = open(store, name);
    ASSERT_NE(partition, INVALID_HANDLE_VALUE);
    EXPECT_EQ(format(partition, 0, 1), kSyscallSuccess);
    EXPECT_EQ(mount(partition), kSyscallSuccess);
    EXPECT_EQ(attributes(partition, 0x18), kSyscallSuccess);
    EXPECT_EQ(mount(partition), kSyscallFailure);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(format(partition, 0, 1), kSyscallFailure);  // mounted
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(partition));
  }
  EXPECT_EQ(Fails(open(store, u"Part02")), ERROR_FILE_NOT_FOUND);

  std::vector<PARTINFO> parts = Partitions(store);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(Text(parts[0].szPartitionName), "Part00");
  EXPECT_EQ(Text(parts[0].szFileSys), "FATFS");
  EXPECT_EQ(Text(parts[0].szVolumeName), "\\Hard Disk");
  EXPECT_EQ(parts[0].snNumSectors, 1000u);
  EXPECT_EQ(parts[0].bPartType, 0x0B);
  EXPECT_EQ(parts[0].dwAttributes, 0x18u);
  EXPECT_NE(Ticks(parts[0].ftCreated), 0u);
  EXPECT_EQ(Text(parts[1].szVolumeName), "\\Hard Disk2");
  EXPECT_EQ(parts[1].bPartType, 0x0C);
  EXPECT_EQ(StoreInfo(store).dwMountCount, 2u);

  // The table lives on the flash: a storage manager started afresh finds
  // both partitions and, as the profile says, mounts them.
  StorageResetForTests();
  parts = Partitions(store);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].dwAttributes, 0x18u);
  EXPECT_EQ(Text(parts[1].szVolumeName), "\\Hard Disk2");
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(StorageTest, ThePartitionHandleStopsWorkingWhenItsPartitionIsGone) {
  HANDLE store = OpenStore();
  HANDLE partition = Bound<PFN_OpenPartition>(u"OpenPartition")(store, u"part00");
  ASSERT_NE(partition, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Bound<PFN_DismountStore>(u"DismountStore")(store));
  ASSERT_TRUE(Bound<PFN_FormatStore>(u"FormatStore")(store));
  ASSERT_TRUE(Bound<PFN_CreatePartitionEx>(u"CreatePartitionEx")(store, u"Part00", 0x0B, 500));
  EXPECT_EQ(Fails(Bound<PFN_MountPartition>(u"MountPartition")(partition)), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(partition));
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(StorageTest, TheCoreLibraryIsCountedAndItsExportsBoundByExactName) {
  EXPECT_EQ(LibraryReferenceCount(u"coredll.dll"), 1);
  HMODULE again = LoadLibraryW(u"COREDLL.DLL");
  EXPECT_EQ(again, core_);
  EXPECT_EQ(LibraryReferenceCount(u"coredll.dll"), 2);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_EQ(LibraryReferenceCount(u"coredll.dll"), 1);

  for (const char16_t* name : kOperations) EXPECT_NE(GetProcAddressW(core_, name), nullptr) << Text(name);
  EXPECT_EQ(GetProcAddressW(core_, u"openstore"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddressW(core_, nullptr), nullptr);

  LibraryHideExportForTests(u"OpenStore");
  LibraryHideExportForTests(u"MountPartition");
  EXPECT_EQ(GetProcAddressW(core_, u"OpenStore"), nullptr);
  EXPECT_EQ(GetProcAddressW(core_, u"MountPartition"), nullptr);
  EXPECT_NE(GetProcAddressW(core_, u"FormatStore"), nullptr);

  EXPECT_EQ(LoadLibraryW(u"other.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryW(u"coredll"), nullptr);
  EXPECT_EQ(LibraryReferenceCount(u"other.dll"), 0);

  EXPECT_TRUE(FreeLibrary(core_));
  EXPECT_EQ(LibraryReferenceCount(u"coredll.dll"), 0);
  // An unloaded library binds nothing and cannot be freed again.
  EXPECT_EQ(GetProcAddressW(core_, u"FormatStore"), nullptr);
  EXPECT_EQ(Fails(FreeLibrary(core_)), ERROR_INVALID_HANDLE);
}

TEST_F(StorageTest, BadHandlesAndRecordsAreRefused) {
  HANDLE store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  HANDLE partition = Bound<PFN_OpenPartition>(u"OpenPartition")(store, u"Part00");
  ASSERT_NE(partition, INVALID_HANDLE_VALUE);
  HANDLE file = CreateFileW(u"\\Temp\\x", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);

  STOREINFO info{};
  info.cbSize = sizeof info;
  PARTINFO part{};
  part.cbSize = sizeof part;
  auto getInfo = Bound<PFN_GetStoreInfo>(u"GetStoreInfo");
  for (HANDLE wrong : {INVALID_HANDLE_VALUE, partition, file, static_cast<HANDLE>(&info)}) {
    EXPECT_EQ(Fails(getInfo(wrong, &info)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Fails(Bound<PFN_FindNextStore>(u"FindNextStore")(wrong, &info)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Fails(Bound<PFN_FindFirstPartition>(u"FindFirstPartition")(wrong, &part)), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(Fails(Bound<PFN_MountPartition>(u"MountPartition")(store)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Fails(Bound<PFN_DismountStore>(u"DismountStore")(partition)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Fails(Bound<PFN_FindClosePartition>(u"FindClosePartition")(store)), ERROR_INVALID_HANDLE);

  info.cbSize = sizeof info - 4;
  EXPECT_EQ(Fails(getInfo(store, &info)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(getInfo(store, nullptr)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(Bound<PFN_FindFirstStore>(u"FindFirstStore")(&info)), ERROR_INVALID_PARAMETER);
  part.cbSize = 0;
  EXPECT_EQ(Fails(Bound<PFN_FindFirstPartition>(u"FindFirstPartition")(store, &part)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(Bound<PFN_OpenStore>(u"OpenStore")(nullptr)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(Bound<PFN_OpenPartition>(u"OpenPartition")(store, nullptr)), ERROR_INVALID_PARAMETER);
  auto create = Bound<PFN_CreatePartitionEx>(u"CreatePartitionEx");
  EXPECT_EQ(Fails(create(store, u"Part01", 0, 10)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(create(store, u"Part01", 0x0B, 0)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Fails(create(store, u"A name far longer than a partition name may be", 0x0B, 10)),
            ERROR_INVALID_PARAMETER);

  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(CloseHandle(partition));
  EXPECT_TRUE(CloseHandle(store));
  EXPECT_EQ(Fails(CloseHandle(store)), ERROR_INVALID_HANDLE);
}

}  // namespace
