#include "tests/storage_module/storage_fixture.h"

#include <fstream>

void StorageTest::SetUp() {
  LibraryResetForTests();
  SystemCallEntryResetForTests();
  StorageResetForTests();
  dir_ = AttachTempModule();
  ASSERT_FALSE(dir_.empty());
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  ASSERT_NE(flash, nullptr) << error;
  ASSERT_TRUE(StoreFactoryInstall(*PlatformModule(), *flash, &error)) << error;
  handles_ = HandleCount();
  core_ = LoadLibraryW(u"coredll.dll");
  ASSERT_NE(core_, nullptr);
}

void StorageTest::TearDown() {
  EXPECT_EQ(HandleCount(), handles_) << "a store, partition or search handle was left open";
  LibraryResetForTests();
  SystemCallEntryResetForTests();
  StorageResetForTests();
  PlatformDetachModule();
}

STOREINFO StorageTest::StoreInfo(HANDLE store) {
  STOREINFO info{};
  info.cbSize = sizeof info;
  EXPECT_TRUE(Bound<PFN_GetStoreInfo>(u"GetStoreInfo")(store, &info));
  return info;
}

std::vector<PARTINFO> StorageTest::Partitions(HANDLE store) {
  std::vector<PARTINFO> found;
  PARTINFO info{};
  info.cbSize = sizeof info;
  HANDLE search = Bound<PFN_FindFirstPartition>(u"FindFirstPartition")(store, &info);
  if (search == INVALID_HANDLE_VALUE) return found;
  do {
    found.push_back(info);
    info.cbSize = sizeof info;
  } while (Bound<PFN_FindNextPartition>(u"FindNextPartition")(search, &info));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  EXPECT_TRUE(Bound<PFN_FindClosePartition>(u"FindClosePartition")(search));
  return found;
}

std::vector<DWORD> StorageTest::Addresses(HANDLE store, uint32_t first, uint32_t count) {
  std::vector<DWORD> sectors(count);
  std::vector<DWORD> addresses(count, 0);
  for (uint32_t i = 0; i < count; i++) sectors[i] = first + i;
  DWORD bytes = 0;
  DWORD size = count * sizeof(DWORD);
  EXPECT_TRUE(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, sectors.data(), size, addresses.data(), size, &bytes,
                              nullptr));
  EXPECT_EQ(bytes, size);
  return addresses;
}

bool StorageTest::Transfer(HANDLE store, DWORD code, uint32_t first, uint32_t count, std::vector<uint8_t>* data) {
  data->resize(size_t{count} * kSectorBytes);
  SG_REQ request{};
  request.sr_start = first;
  request.sr_num_sec = count;
  request.sr_num_sg = 1;
  request.sr_sglist[0].sb_buf = data->data();
  request.sr_sglist[0].sb_len = static_cast<DWORD>(data->size());
  bool ok = DeviceIoControl(store, code, &request, sizeof request, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(request.sr_status, ok ? ERROR_SUCCESS : GetLastError());
  return ok;
}

std::vector<uint8_t> StorageTest::Image(uint32_t offset, uint32_t length) {
  std::ifstream in(ModuleFlashPath(dir_), std::ios::binary);
  in.seekg(offset);
  std::vector<uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), length);
  EXPECT_TRUE(in.good());
  return bytes;
}
