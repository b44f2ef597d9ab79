#include "tests/support/store_sectors.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/storage.h"
#include "storage/store_access.h"

std::vector<SectorRun> StoreSectorRuns(const std::u16string& device, uint32_t runMax) {
  std::vector<SectorRun> runs;
  HANDLE store = OpenStore(device.c_str());
  EXPECT_NE(store, INVALID_HANDLE_VALUE);
  if (store == INVALID_HANDLE_VALUE) return runs;
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  EXPECT_TRUE(GetStoreInfo(store, &info));
  uint32_t count = static_cast<uint32_t>(info.snNumSectors);
  uint32_t sectorBytes = info.dwBytesPerSector;
  std::vector<uint32_t> numbers(count), addresses(count);
  for (uint32_t s = 0; s < count; s++) numbers[s] = s;
  DWORD bytes = count * sizeof(uint32_t);
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(store, IOCTL_DISK_GET_SECTOR_ADDR, numbers.data(), bytes, addresses.data(), bytes,
                              &returned, nullptr));
  for (uint32_t s = 0; s < count; s++) {
    if (addresses[s] == SECTOR_ADDRESS_NONE) continue;
    bool extends = !runs.empty() && runs.back().first + runs.back().sectors == s && runs.back().sectors < runMax;
    if (extends) {
      runs.back().sectors++;
    } else {
      runs.push_back({s, 1, {}});
    }
  }
  for (SectorRun& run : runs) {
    run.data.resize(size_t{run.sectors} * sectorBytes);
    SG_REQ read = {};
    read.sr_start = run.first;
    read.sr_num_sec = run.sectors;
    read.sr_num_sg = 1;
    read.sr_sglist[0] = {run.data.data(), static_cast<DWORD>(run.data.size())};
    EXPECT_TRUE(DeviceIoControl(store, IOCTL_DISK_READ, &read, sizeof read, nullptr, 0, &returned, nullptr));
  }
  CloseHandle(store);
  return runs;
}

namespace {

// Runs `use` with the device name of the module's store "Internal Flash",
// the platform attached to the module meanwhile.
template <typename Use>
void WithInternalFlash(const std::string& dir, Use use) {
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  HANDLE search = FindFirstStore(&info);
  EXPECT_NE(search, INVALID_HANDLE_VALUE);
  bool found = false;
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!found && std::u16string(info.szStoreName) == u"Internal Flash") {
        found = true;
        use(std::u16string(info.szDeviceName));
      }
      info.cbSize = STORE_INFO_BYTES;
    } while (FindNextStore(search, &info));
    FindCloseStore(search);
  }
  EXPECT_TRUE(found) << "no store \"Internal Flash\" on " << dir;
  PlatformDetachModule();
}

}  // namespace

std::vector<SectorRun> ModuleStoreSectorRuns(const std::string& dir) {
  std::vector<SectorRun> runs;
  WithInternalFlash(dir, [&](const std::u16string& device) { runs = StoreSectorRuns(device); });
  return runs;
}

void ModuleStoreWrite(const std::string& dir, uint32_t first, std::vector<uint8_t> data) {
  WithInternalFlash(dir, [&](const std::u16string& device) {
    HANDLE store = OpenStore(device.c_str());
    ASSERT_NE(store, INVALID_HANDLE_VALUE);
    SG_REQ write = {};
    write.sr_start = first;
    write.sr_num_sec = static_cast<DWORD>(data.size() / 512);
    write.sr_num_sg = 1;
    write.sr_sglist[0] = {data.data(), static_cast<DWORD>(data.size())};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(store, IOCTL_DISK_WRITE, &write, sizeof write, nullptr, 0, &returned, nullptr));
    CloseHandle(store);
  });
}
