// The module's registry: the live copy in registry.reg (readable text, shared
// by every process on the module) and the persistent copy in the flash
// Registry region.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Names of keys and values compare without regard to case, as on the module.
bool RegistryNameEqual(std::u16string_view a, std::u16string_view b);

// A key name is usable when every component is 1..kRegistryMaxKeyName units of
// printable text (the live file keeps one key per line, so no line breaks),
// and it is at most kRegistryMaxDepth components deep, as on the module:
// every key holds its whole path, so deeper ones would cost the square of
// their depth.
constexpr size_t kRegistryMaxKeyName = 255;
constexpr size_t kRegistryMaxDepth = 512;
bool RegistryKeyPathValid(std::u16string_view path);

// Positions of keys, and of values within their key, by case-folded name:
// lets a registry of many keys and values be built without a walk over all
// of them for each one added (RegistryFromText). Only valid while every
// change to the data goes through the calls that take it.
struct RegistryIndex {
  std::unordered_map<std::u16string, size_t> keys;    // key path -> position in RegistryData::keys
  std::unordered_map<std::u16string, size_t> values;  // key path, u'\0', value name -> position in RegKey::values
};

// Joins a key path and a relative sub path, dropping empty components, so
// "A\\B\" and "A\B" name the same key.
std::u16string RegistryJoinPath(std::u16string_view base, std::u16string_view sub);

// Keys by path (case-insensitive). The root (empty path) always exists, but
// has an entry in `keys` only once it holds values.
RegKey* RegistryFindKey(RegistryData* data, std::u16string_view path);
const RegKey* RegistryFindKey(const RegistryData& data, std::u16string_view path);
bool RegistryKeyExists(const RegistryData& data, std::u16string_view path);

// Creates the key and any missing parents; `created` tells whether the key
// itself is new. Null for an invalid path. `index`, when given, is used for
// the look-ups and kept up to date.
RegKey* RegistryCreateKey(RegistryData* data, std::u16string_view path, bool* created, RegistryIndex* index = nullptr);

// Removes the key with all its subkeys; false when it does not exist.
bool RegistryDeleteKey(RegistryData* data, std::u16string_view path);

// The `index`th direct subkey's name (last component, case as created).
bool RegistrySubkeyName(const RegistryData& data, std::u16string_view path, size_t index, std::u16string* name);

RegValue* RegistryFindValue(RegKey* key, std::u16string_view name);
const RegValue* RegistryFindValue(const RegKey& key, std::u16string_view name);
void RegistrySetValue(RegKey* key, std::u16string_view name, uint32_t type, const uint8_t* bytes, size_t size,
                      RegistryIndex* index = nullptr);
bool RegistryDeleteValue(RegKey* key, std::u16string_view name);

// A file in the registry's text form. The text is parsed again only when
// `now` (what the path names, from stat; null when unknown) shows another
// file or a change since it was last parsed. False with `error` set: with
// `unread` when the file cannot be read ("cannot open PATH: ..."), else the
// parser's message.
bool RegistryParseFile(const std::string& path, const struct stat* now, RegistryData* data, bool* unread,
                       std::string* error);

// The live registry: registry.reg of the module directory. A missing file is
// an empty registry; a malformed one is an error.
std::string RegistryLockPath(const std::string& moduleDir);
bool RegistryLoadLive(const std::string& moduleDir, RegistryData* data, std::string* error);

// Changes the live registry as one step against every other process: under
// the exclusive lock it re-reads the file, calls `edit`, and when `edit`
// returns true replaces the file atomically. `edit` reports its own outcome
// through `context`.
using RegistryEdit = bool (*)(RegistryData* data, void* context);
bool RegistryUpdateLive(const std::string& moduleDir, RegistryEdit edit, void* context, std::string* error);

// Replaces the whole live registry (module restart, factory install).
bool RegistryReplaceLive(const std::string& moduleDir, const RegistryData& data, std::string* error);
