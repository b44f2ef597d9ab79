// A fresh factory module per test, with the flash disk driver's program
// state reset and sleeps skipped, and ways to read registry values back
// byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/storage.h"
#include "storage/fs_stream_header.h"

constexpr char16_t kBuiltInKey[] = u"Drivers\\BuiltIn\\StrataFMD";
constexpr char16_t kBlockDeviceKey[] = u"Drivers\\BlockDevice\\StrataFMD";
constexpr char16_t kRestoreKey[] = u"Drivers\\BuiltIn\\FWLFMD";
constexpr char16_t kProfileKey[] = u"System\\StorageManager\\Profiles\\FlashDisk";
constexpr char16_t kProfileFatKey[] = u"System\\StorageManager\\Profiles\\FlashDisk\\FATFS";
constexpr char16_t kStoreName[] = u"Internal Flash";

// A value as the registry holds it.
struct RawValue {
  DWORD type = 0;
  std::vector<uint8_t> bytes;
  bool operator==(const RawValue&) const = default;
};

std::optional<RawValue> ReadValue(const char16_t* key, const char16_t* name);
void WriteValue(const char16_t* key, const char16_t* name, DWORD type, const void* data, DWORD bytes);
void WriteDword(const char16_t* key, const char16_t* name, uint32_t value);
// Text with its terminator.
void WriteText(const char16_t* key, const char16_t* name, const std::u16string& text);
void RemoveValue(const char16_t* key, const char16_t* name);
void RemoveKey(const char16_t* key);
bool KeyExists(const char16_t* key);
RawValue Dword(uint32_t value);
// `text` as bytes, terminator included when asked for.
RawValue Text(const std::u16string& text, bool terminated);

// The stores the storage manager offers now, as FindFirstStore lists them.
std::vector<STOREINFO> ListStores();
std::u16string DeviceOf(const STOREINFO& info);

class FsDriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A stream header carrying the factory driver's geometry.
  FsStreamHeader FactoryHeader(uint32_t type);
  // Sets the library's store device name, as the region scan does.
  void SetStoreDeviceName(const std::u16string& name);

  std::string dir_;
};
