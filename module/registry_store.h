// The module's registry: the live copy in registry.reg (readable text, shared
// by every process on the module) and the persistent copy in the flash
// Registry region.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module/module_flash.h"

struct Module;

enum RegValueType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
};

struct RegValue {
  std::u16string name;  // empty = the key's default value
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;  // exactly the bytes the platform call sees
};

struct RegKey {
  std::u16string path;  // below HKEY_LOCAL_MACHINE, backslash-separated, case kept
  std::vector<RegValue> values;
};

struct RegistryData {
  std::vector<RegKey> keys;  // every key, parents before children
};
