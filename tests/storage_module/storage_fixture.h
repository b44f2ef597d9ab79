// A fresh NOR module whose store holds the factory content, with the
// storage manager reached as the program reaches it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/storage_manager.h"
#include "platform/error.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/storage.h"
#include "platform/syscall_entries.h"
#include "tests/support/temp_module.h"

// The default board: 46 blocks of 256 KB after the registry, 496 data
// slots a block, two blocks in reserve.
constexpr uint32_t kStoreSectors = 44 * 496;
constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kRegionBase = 0x01480000;
constexpr uint32_t kRegionBytes = 0x00B80000;
// The factory's partition spans the store after its table, with a FAT
// volume on it.
constexpr uint32_t kPartitionStart = 1;
constexpr uint32_t kPartitionSectors = kStoreSectors - 1;

constexpr DWORD kSucceeded = 0xFFFFFFFF;
// The last error a failed call left, or kSucceeded.
inline DWORD Fails(BOOL ok) { return ok ? kSucceeded : GetLastError(); }
inline DWORD Fails(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return GetLastError();
  CloseHandle(handle);
  return kSucceeded;
}

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // An export of the core library, looked up as the newer OS's program does.
  template <typename Fn>
  Fn Bound(const char16_t* name) {
    return reinterpret_cast<Fn>(GetProcAddressW(core_, name));
  }
  // An entry of the older OS.
  template <typename Fn>
  static Fn Entry(uint32_t apiSet, uint32_t method) {
    return reinterpret_cast<Fn>(SystemCallEntry(SystemCallEntryAddress(apiSet, method)));
  }

  HANDLE OpenStore() { return Bound<PFN_OpenStore>(u"OpenStore")(u"DSK1:"); }
  STOREINFO StoreInfo(HANDLE store);
  std::vector<PARTINFO> Partitions(HANDLE store);
  // One sector address query for sectors [first, first + count).
  std::vector<DWORD> Addresses(HANDLE store, uint32_t first, uint32_t count);
  bool Transfer(HANDLE store, DWORD code, uint32_t first, uint32_t count, std::vector<uint8_t>* data);
  // Flash bytes straight from flash.img.
  std::vector<uint8_t> Image(uint32_t offset, uint32_t length);

  std::string dir_;
  HMODULE core_ = nullptr;
  size_t handles_ = 0;
};
