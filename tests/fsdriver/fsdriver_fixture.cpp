#include "tests/fsdriver/fsdriver_fixture.h"

#include <cstring>

#include "fwlib/library_state.h"
#include "platform/clock.h"
#include "platform/device_manager.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "storage/flash_disk_driver.h"
#include "storage/store_access.h"
#include "tests/support/temp_module.h"

namespace {

HKEY Open(const char16_t* key) {
  HKEY handle = nullptr;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, &handle) == ERROR_SUCCESS ? handle : nullptr;
}

constexpr DWORD kValueBytes = 1024;

}  // namespace

std::optional<RawValue> ReadValue(const char16_t* key, const char16_t* name) {
  HKEY handle = Open(key);
  if (handle == nullptr) return std::nullopt;
  RawValue value;
  value.bytes.resize(kValueBytes);
  DWORD bytes = kValueBytes;
  LONG result = RegQueryValueExW(handle, name, nullptr, &value.type, value.bytes.data(), &bytes);
  RegCloseKey(handle);
  if (result != ERROR_SUCCESS) return std::nullopt;
  value.bytes.resize(bytes);
  return value;
}

void WriteValue(const char16_t* key, const char16_t* name, DWORD type, const void* data, DWORD bytes) {
  HKEY handle = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, 0, nullptr, &handle, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
  RegCloseKey(handle);
}

void WriteDword(const char16_t* key, const char16_t* name, uint32_t value) {
  WriteValue(key, name, REG_DWORD, &value, sizeof value);
}

void WriteText(const char16_t* key, const char16_t* name, const std::u16string& text) {
  WriteValue(key, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(char16_t)));
}

void RemoveValue(const char16_t* key, const char16_t* name) {
  HKEY handle = Open(key);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(RegDeleteValueW(handle, name), ERROR_SUCCESS);
  RegCloseKey(handle);
}

void RemoveKey(const char16_t* key) { ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, key), ERROR_SUCCESS); }

bool KeyExists(const char16_t* key) {
  HKEY handle = Open(key);
  if (handle != nullptr) RegCloseKey(handle);
  return handle != nullptr;
}

RawValue Dword(uint32_t value) {
  RawValue raw{REG_DWORD, std::vector<uint8_t>(sizeof value)};
  std::memcpy(raw.bytes.data(), &value, sizeof value);
  return raw;
}

RawValue Text(const std::u16string& text, bool terminated) {
  size_t units = text.size() + (terminated ? 1 : 0);
  RawValue raw{REG_SZ, std::vector<uint8_t>(units * sizeof(char16_t))};
  std::memcpy(raw.bytes.data(), text.c_str(), raw.bytes.size());
  return raw;
}

std::vector<STOREINFO> ListStores() {
  std::vector<STOREINFO> stores;
  STOREINFO info{};
  info.cbSize = sizeof info;
  HANDLE search = FindFirstStore(&info);
  if (search == INVALID_HANDLE_VALUE) return stores;
  do {
    stores.push_back(info);
    info.cbSize = sizeof info;
  } while (FindNextStore(search, &info));
  EXPECT_TRUE(FindCloseStore(search));
  return stores;
}

std::u16string DeviceOf(const STOREINFO& info) {
  return std::u16string(info.szDeviceName, TextLengthBounded(info.szDeviceName, std::size(info.szDeviceName)));
}

void FsDriverTest::SetUp() {
  FWLResetForTests();
  StoreAccessResetForTests();
  StorageResetForTests();
  FlashDiskDriverResetForTests();
  dir_ = AttachTempModule();
  ASSERT_FALSE(dir_.empty());
  ClockSkipSleepsForTests(true);
}

void FsDriverTest::TearDown() {
  ClockSkipSleepsForTests(false);
  DeviceActivationResultForTests(false, nullptr);
  FWLResetForTests();
  StoreAccessResetForTests();
  StorageResetForTests();
  PlatformDetachModule();
}

FsStreamHeader FsDriverTest::FactoryHeader(uint32_t type) {
  FsStreamHeader header{};
  header.magic = FS_STREAM_MAGIC;
  header.version = FS_STREAM_VERSION;
  header.headerSize = FS_STREAM_HEADER_BYTES;
  header.type = type;
  auto dword = [](const char16_t* name) {
    std::optional<RawValue> v = ReadValue(kBuiltInKey, name);
    uint32_t value = FS_STREAM_VALUE_UNKNOWN;
    if (v && v->bytes.size() == sizeof value) std::memcpy(&value, v->bytes.data(), sizeof value);
    return value;
  };
  header.memBase = dword(u"MemBase");
  header.memLen = dword(u"MemLen");
  header.sectorSize = dword(u"SectorSize");
  header.blockSize = dword(u"BlockSize");
  return header;
}

void FsDriverTest::SetStoreDeviceName(const std::u16string& name) {
  TextCopy(FwlState()->storeDeviceName, STORE_DEVICE_NAME_CHARS, name.c_str());
}
