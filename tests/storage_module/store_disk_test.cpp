// The store's sectors as programs see them: where they live in the flash,
// what the volume's free space says, and which driver keys make a store.
#include <set>

#include "module/atomic_file.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "tests/storage_module/storage_fixture.h"
#include "tests/support/run_program.h"
#include "tests/support/store_sectors.h"

namespace {

uint64_t VolumeFree(LPCWSTR volume, uint64_t* total) {
  ULARGE_INTEGER caller{}, all{}, free{};
  EXPECT_TRUE(GetDiskFreeSpaceExW(volume, &caller, &all, &free));
  EXPECT_EQ(caller.QuadPart, free.QuadPart);
  *total = all.QuadPart;
  return free.QuadPart;
}

void SetDword(HKEY key, LPCWSTR name, DWORD value) {
  ASSERT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
}

TEST_F(StorageTest, SectorAddressesLeadToTheSectorsInTheFlash) {
  HANDLE store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  std::vector<DWORD> addresses = Addresses(store, 0, kStoreSectors);
  std::set<uint32_t> mapped;
  std::set<DWORD> distinct;
  for (uint32_t s = 0; s < kStoreSectors; s++) {
    if (addresses[s] == SECTOR_ADDRESS_NONE) continue;
    mapped.insert(s);
    distinct.insert(addresses[s]);
    EXPECT_GE(addresses[s], kRegionBase);
    EXPECT_LE(addresses[s] + kSectorBytes, kRegionBase + kRegionBytes);
  }
  // The partition table and the factory's FAT volume (its boot sector first).
  ASSERT_TRUE(mapped.count(0) && mapped.count(kPartitionStart));
  EXPECT_EQ(distinct.size(), mapped.size());

  // What a read returns is what the flash holds at the sector's address.
  for (uint32_t s : {0u, kPartitionStart, *mapped.rbegin()}) {
    std::vector<uint8_t> data;
    ASSERT_TRUE(Transfer(store, IOCTL_DISK_READ, s, 1, &data));
    EXPECT_EQ(data, Image(addresses[s], kSectorBytes)) << "sector " << s;
  }
  uint32_t hole = kPartitionStart;
  while (mapped.count(hole)) hole++;
  std::vector<uint8_t> unmapped;
  ASSERT_TRUE(Transfer(store, IOCTL_DISK_READ, hole, 1, &unmapped));
  EXPECT_EQ(unmapped, std::vector<uint8_t>(kSectorBytes, 0xFF));

  // A rewritten sector moves; its old place no longer counts.
  std::vector<uint8_t> data(kSectorBytes, 0x5A);
  ASSERT_TRUE(Transfer(store, IOCTL_DISK_WRITE, kPartitionStart + 32, 1, &data));
  DWORD moved = Addresses(store, kPartitionStart + 32, 1)[0];
  EXPECT_NE(moved, addresses[kPartitionStart + 32]);
  EXPECT_EQ(Image(moved, kSectorBytes), data);
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(StorageTest, AVolumeFolderAnswersFromItsPartition) {
  uint64_t total = 0;
  uint64_t free = VolumeFree(u"\\Hard Disk", &total);
  // What the FAT volume's clusters hold: less than the partition, the
  // factory's files taken.
  EXPECT_GT(total, uint64_t{kPartitionSectors} * kSectorBytes * 9 / 10);
  EXPECT_LT(total, uint64_t{kPartitionSectors} * kSectorBytes);
  EXPECT_LT(free, total - 70000);
  EXPECT_EQ(VolumeFree(u"\\HARD DISK", &total), free);
  HANDLE store = OpenStore();

  // No such volume, or no longer mounted: the object store answers (and
  // has no such folder).
  ULARGE_INTEGER space{};
  EXPECT_EQ(Fails(GetDiskFreeSpaceExW(u"\\Hard Disk2", nullptr, &space, nullptr)), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(Bound<PFN_DismountStore>(u"DismountStore")(store));
  EXPECT_EQ(Fails(GetDiskFreeSpaceExW(u"\\Hard Disk", nullptr, &space, nullptr)), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(GetDiskFreeSpaceExW(u"\\Temp", nullptr, &space, nullptr));
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(StorageTest, ChangesToTheFlashBySomeoneElseAreSeenAtOnce) {
  HANDLE store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  // An image update rewrites the File System region behind the driver's back.
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  ASSERT_NE(flash, nullptr);
  ASSERT_TRUE(ModuleFlashErase(*flash, kRegionBase, kRegionBytes));

  STOREINFO info = StoreInfo(store);
  EXPECT_EQ(info.dwPartitionCount, 0u);
  EXPECT_EQ(info.dwMountCount, 0u);
  EXPECT_NE(info.dwAttributes & STORE_ATTRIBUTE_UNFORMATTED, 0u);
  std::vector<DWORD> addresses = Addresses(store, 0, kStoreSectors);
  EXPECT_EQ(std::count(addresses.begin(), addresses.end(), SECTOR_ADDRESS_NONE), kStoreSectors);
  ULARGE_INTEGER space{};
  EXPECT_EQ(Fails(GetDiskFreeSpaceExW(u"\\Hard Disk", nullptr, &space, nullptr)), ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(StorageTest, TheDriverKeyDecidesWhetherTheStoreExists) {
  HANDLE store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\StrataFMD"), ERROR_SUCCESS);
  STOREINFO info{};
  info.cbSize = sizeof info;
  EXPECT_EQ(Fails(Bound<PFN_FindFirstStore>(u"FindFirstStore")(&info)), ERROR_NO_MORE_FILES);
  EXPECT_EQ(Fails(OpenStore()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Fails(Bound<PFN_GetStoreInfo>(u"GetStoreInfo")(store, &info)), ERROR_INVALID_HANDLE);

  // The second driver key serves when the first is missing.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BlockDevice\\StrataFMD", 0, nullptr, 0, 0, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  SetDword(key, u"MemBase", kRegionBase);
  SetDword(key, u"MemLen", kRegionBytes);
  static const char16_t kProfile[] = u"FlashDisk";
  ASSERT_EQ(RegSetValueExW(key, u"Profile", 0, REG_SZ, reinterpret_cast<const BYTE*>(kProfile), sizeof kProfile),
            ERROR_SUCCESS);
  EXPECT_TRUE(Bound<PFN_GetStoreInfo>(u"GetStoreInfo")(store, &info));
  EXPECT_EQ(info.dwPartitionCount, 1u);

  // A region the flash cannot hold makes no store.
  SetDword(key, u"MemLen", 0x10000000);
  EXPECT_EQ(Fails(OpenStore()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(store));
}

TEST_F(StorageTest, DiskControlCallsCheckEveryBufferAndSize) {
  HANDLE store = OpenStore();
  ASSERT_NE(store, INVALID_HANDLE_VALUE);
  DWORD in[4] = {0, 1, 2, kStoreSectors};
  DWORD out[4] = {};
  DWORD got = 0;
  auto query = [&](LPVOID input, DWORD inSize, LPVOID output, DWORD outSize) {
    return Fails(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, input, inSize, output, outSize, &got, nullptr));
  };
  EXPECT_EQ(query(in, 0, out, sizeof out), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(query(in, 6, out, sizeof out), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(query(nullptr, 4, out, sizeof out), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(query(in, 12, nullptr, 12), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(query(in, 12, out, 8), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(query(in, 16, out, 16), ERROR_INVALID_PARAMETER);  // a sector beyond the store
  EXPECT_EQ(query(in, 12, out, 16), kSucceeded);
  EXPECT_EQ(got, 12u);
  EXPECT_EQ(Fails(DeviceIoControl(store, 0x1234, in, 4, out, 4, &got, nullptr)), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(Fails(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_DISK_GET_SECTOR_ADDR, in, 4, out, 4, &got, nullptr)),
            ERROR_INVALID_HANDLE);

  std::vector<uint8_t> data(2 * kSectorBytes, 0x22);
  SG_REQ request{};
  request.sr_start = 10;
  request.sr_num_sec = 2;
  request.sr_num_sg = 1;
  request.sr_sglist[0] = SG_BUF{data.data(), static_cast<DWORD>(data.size())};
  auto transfer = [&](DWORD code, DWORD inSize) {
    return Fails(DeviceIoControl(store, code, &request, inSize, nullptr, 0, nullptr, nullptr));
  };
  EXPECT_EQ(transfer(IOCTL_DISK_WRITE, sizeof request - 1), ERROR_INVALID_PARAMETER);
  request.sr_num_sg = 3;  // buffers beyond the record
  EXPECT_EQ(transfer(IOCTL_DISK_WRITE, sizeof request), ERROR_INVALID_PARAMETER);
  request.sr_num_sg = 1;
  request.sr_sglist[0].sb_len = kSectorBytes;  // too small for two sectors
  EXPECT_EQ(transfer(IOCTL_DISK_READ, sizeof request), ERROR_INVALID_PARAMETER);
  request.sr_sglist[0].sb_len = static_cast<DWORD>(data.size());
  request.sr_start = kStoreSectors - 1;
  EXPECT_EQ(transfer(IOCTL_DISK_WRITE, sizeof request), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(request.sr_status, ERROR_INVALID_PARAMETER);
  request.sr_start = 10;
  EXPECT_EQ(transfer(IOCTL_DISK_WRITE, sizeof request), kSucceeded);
  EXPECT_EQ(Addresses(store, 10, 2)[1] != SECTOR_ADDRESS_NONE, true);

  // Two buffers split in the middle of a sector read back what was written.
  std::vector<uint8_t> first(700), second(2 * kSectorBytes - 700);
  struct {
    SG_REQ head;
    SG_BUF more;
  } split{};
  split.head.sr_start = 10;
  split.head.sr_num_sec = 2;
  split.head.sr_num_sg = 2;
  split.head.sr_sglist[0] = SG_BUF{first.data(), static_cast<DWORD>(first.size())};
  split.more = SG_BUF{second.data(), static_cast<DWORD>(second.size())};
  ASSERT_TRUE(DeviceIoControl(store, IOCTL_DISK_READ, &split, sizeof split, nullptr, 0, nullptr, nullptr));
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(first, data);
  EXPECT_TRUE(CloseHandle(store));
}

// The mount one query leaves for the next must not hide what another process
// wrote on the flash disk in between.
class StoreOnBoard : public testing::TestWithParam<const char*> {
 protected:
  void TearDown() override {
    StorageResetForTests();
    PlatformDetachModule();
  }
};

TEST_P(StoreOnBoard, WhatAnotherProcessWritesBetweenTwoQueriesIsSeen) {
  std::string dir = AttachTempModule(GetParam());
  ASSERT_FALSE(dir.empty());
  std::vector<SectorRun> before = StoreSectorRuns(u"DSK1:");
  std::string notes = dir + "/notes.txt";
  std::string error;
  ASSERT_TRUE(AtomicWriteFile(notes, std::string(20000, 'n'), &error)) << error;
  ProgramResult put = RunProgram({BuiltProgram("fwmodule"), "put", dir, notes, "\\Hard Disk\\notes.txt"});
  ASSERT_EQ(put.exitCode, 0) << put.err;
  EXPECT_TRUE(StoreSectorRuns(u"DSK1:") != before);
}

INSTANTIATE_TEST_SUITE_P(Boards, StoreOnBoard, testing::Values("nor", "nand"),
                         [](const testing::TestParamInfo<const char*>& board) { return std::string(board.param); });

}  // namespace
