#include "platform/registry.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "module/registry_persist.h"
#include "module/registry_store.h"
#include "module/registry_text.h"
#include "platform/debug.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

// Key handles are numbers from a counter, never addresses, so a stale or
// made-up handle is simply not in the table and nothing is dereferenced.
constexpr uintptr_t kFirstKeyHandle = 0x10000;

struct RegistryPlatformState {
  std::mutex lock;
  std::map<uintptr_t, std::u16string> open;  // handle -> key path
  uintptr_t next = kFirstKeyHandle;
};

RegistryPlatformState g_registry;

void Report(const char* call, const std::string& error) {
  OutputDebugStringW(Utf8ToUtf16(std::string(call) + ": " + error + "\n").c_str());
}

LONG Resolve(HKEY key, std::u16string* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> hold(g_registry.lock);
  auto it = g_registry.open.find(reinterpret_cast<uintptr_t>(key));
  if (it == g_registry.open.end()) return ERROR_INVALID_HANDLE;
  *path = it->second;
  return ERROR_SUCCESS;
}

HKEY NewHandle(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(g_registry.lock);
  uintptr_t value = g_registry.next++;
  if (reinterpret_cast<HKEY>(value) == HKEY_LOCAL_MACHINE) value = g_registry.next++;
  g_registry.open[value] = path;
  return reinterpret_cast<HKEY>(value);
}

std::u16string_view View(LPCWSTR text) { return text ? std::u16string_view(text, TextLength(text)) : u""; }

const std::string* ModuleDir(const char* call) {
  const Module* module = PlatformModule();
  if (module == nullptr) {
    Report(call, "no module attached");
    return nullptr;
  }
  return &module->dir;
}

LONG LoadLive(const char* call, RegistryData* data) {
  const std::string* dir = ModuleDir(call);
  if (dir == nullptr) return ERROR_BADDB;
  std::string error;
  if (!RegistryLoadLive(*dir, data, &error)) {
    Report(call, error);
    return ERROR_BADDB;
  }
  return ERROR_SUCCESS;
}

// One change of the live registry. The edit records its result in `status`
// and says whether the file must be written.
struct Change {
  std::u16string path;
  std::u16string_view name;
  DWORD type = 0;
  const BYTE* data = nullptr;
  DWORD dataBytes = 0;
  std::u16string basePath;  // RegCreateKeyExW: the key the path is relative to
  bool created = false;
  LONG status = ERROR_SUCCESS;
};

LONG Apply(const char* call, RegistryEdit edit, Change* change) {
  const std::string* dir = ModuleDir(call);
  if (dir == nullptr) return ERROR_BADDB;
  std::string error;
  if (!RegistryUpdateLive(*dir, edit, change, &error)) {
    Report(call, error);
    return ERROR_BADDB;
  }
  return change->status;
}

// A handle whose key someone deleted is a bad key; the root never goes away.
RegKey* KeyOfHandle(RegistryData* data, Change* change) {
  RegKey* key = RegistryFindKey(data, change->path);
  if (key == nullptr) change->status = change->path.empty() ? ERROR_FILE_NOT_FOUND : ERROR_BADKEY;
  return key;
}

bool EditCreateKey(RegistryData* data, void* context) {
  auto* change = static_cast<Change*>(context);
  if (!RegistryKeyExists(*data, change->basePath)) {
    change->status = ERROR_BADKEY;
    return false;
  }
  if (RegistryCreateKey(data, change->path, &change->created) == nullptr) {
    change->status = ERROR_INVALID_PARAMETER;
    return false;
  }
  return change->created;
}

bool EditSetValue(RegistryData* data, void* context) {
  auto* change = static_cast<Change*>(context);
  bool created;
  RegKey* key = change->path.empty() ? RegistryCreateKey(data, change->path, &created) : KeyOfHandle(data, change);
  if (key == nullptr) return false;
  const RegValue* old = RegistryFindValue(*key, change->name);
  if (old != nullptr && old->type == change->type && old->data.size() == change->dataBytes &&
      (change->dataBytes == 0 || std::memcmp(old->data.data(), change->data, change->dataBytes) == 0)) {
    return false;
  }
  RegistrySetValue(key, change->name, change->type, change->data, change->dataBytes);
  return true;
}

bool EditDeleteValue(RegistryData* data, void* context) {
  auto* change = static_cast<Change*>(context);
  RegKey* key = KeyOfHandle(data, change);
  if (key == nullptr) return false;
  if (RegistryDeleteValue(key, change->name)) return true;
  change->status = ERROR_FILE_NOT_FOUND;
  return false;
}

bool EditDeleteKey(RegistryData* data, void* context) {
  auto* change = static_cast<Change*>(context);
  if (!RegistryKeyExists(*data, change->basePath)) {
    change->status = ERROR_BADKEY;
    return false;
  }
  if (RegistryDeleteKey(data, change->path)) return true;
  change->status = ERROR_FILE_NOT_FOUND;
  return false;
}

}  // namespace

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, DWORD, HKEY* result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::u16string base;
  LONG status = Resolve(key, &base);
  if (status != ERROR_SUCCESS) return status;
  RegistryData data;
  status = LoadLive("RegOpenKeyExW", &data);
  if (status != ERROR_SUCCESS) return status;
  if (!RegistryKeyExists(data, base)) return ERROR_BADKEY;
  std::u16string path = RegistryJoinPath(base, View(subKey));
  if (!RegistryKeyExists(data, path)) return ERROR_FILE_NOT_FOUND;
  *result = NewHandle(path);
  return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, HKEY* result,
                     DWORD* disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Change change;
  LONG status = Resolve(key, &change.basePath);
  if (status != ERROR_SUCCESS) return status;
  change.path = RegistryJoinPath(change.basePath, View(subKey));
  if (!RegistryKeyPathValid(change.path)) return ERROR_INVALID_PARAMETER;
  status = Apply("RegCreateKeyExW", EditCreateKey, &change);
  if (status != ERROR_SUCCESS) return status;
  if (disposition != nullptr) *disposition = change.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(change.path);
  return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataBytes) {
  if (reserved != nullptr || (data != nullptr && dataBytes == nullptr)) return ERROR_INVALID_PARAMETER;
  Change change;
  LONG status = Resolve(key, &change.path);
  if (status != ERROR_SUCCESS) return status;
  RegistryData registry;
  status = LoadLive("RegQueryValueExW", &registry);
  if (status != ERROR_SUCCESS) return status;
  const RegKey* found = KeyOfHandle(&registry, &change);
  if (found == nullptr) return change.status;
  const RegValue* value = RegistryFindValue(*found, View(valueName));
  if (value == nullptr) return ERROR_FILE_NOT_FOUND;
  if (value->data.size() > UINT32_MAX) return ERROR_BADDB;
  DWORD size = static_cast<DWORD>(value->data.size());
  if (type != nullptr) *type = value->type;
  if (data == nullptr) {
    if (dataBytes != nullptr) *dataBytes = size;
    return ERROR_SUCCESS;
  }
  if (*dataBytes < size) {
    *dataBytes = size;
    return ERROR_MORE_DATA;
  }
  if (size > 0) std::memcpy(data, value->data.data(), size);
  *dataBytes = size;
  return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataBytes) {
  if (data == nullptr && dataBytes > 0) return ERROR_INVALID_PARAMETER;
  Change change;
  LONG status = Resolve(key, &change.path);
  if (status != ERROR_SUCCESS) return status;
  change.name = View(valueName);
  change.type = type;
  change.data = data;
  change.dataBytes = dataBytes;
  return Apply("RegSetValueExW", EditSetValue, &change);
}

LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  Change change;
  LONG status = Resolve(key, &change.path);
  if (status != ERROR_SUCCESS) return status;
  change.name = View(valueName);
  return Apply("RegDeleteValueW", EditDeleteValue, &change);
}

LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  Change change;
  LONG status = Resolve(key, &change.basePath);
  if (status != ERROR_SUCCESS) return status;
  change.path = RegistryJoinPath(change.basePath, View(subKey));
  // Deleting needs a named subkey: neither the handle's own key nor the root.
  if (RegistryJoinPath(View(subKey), u"").empty()) return ERROR_INVALID_PARAMETER;
  return Apply("RegDeleteKeyW", EditDeleteKey, &change);
}

LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD*, LPWSTR keyClass, DWORD* classChars,
                   FILETIME* lastWrite) {
  if (name == nullptr || nameChars == nullptr) return ERROR_INVALID_PARAMETER;
  std::u16string path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  RegistryData data;
  status = LoadLive("RegEnumKeyExW", &data);
  if (status != ERROR_SUCCESS) return status;
  if (!RegistryKeyExists(data, path)) return ERROR_BADKEY;
  std::u16string subkey;
  if (!RegistrySubkeyName(data, path, index, &subkey)) return ERROR_NO_MORE_ITEMS;
  if (subkey.size() + 1 > *nameChars) return ERROR_MORE_DATA;
  std::memcpy(name, subkey.c_str(), (subkey.size() + 1) * sizeof(WCHAR));
  *nameChars = static_cast<DWORD>(subkey.size());
  // Keys carry no class and no write time here.
  if (keyClass != nullptr && classChars != nullptr && *classChars > 0) keyClass[0] = 0;
  if (classChars != nullptr) *classChars = 0;
  if (lastWrite != nullptr) *lastWrite = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> hold(g_registry.lock);
  return g_registry.open.erase(reinterpret_cast<uintptr_t>(key)) > 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegFlushKey(HKEY key) {
  std::u16string path;
  LONG status = Resolve(key, &path);
  if (status != ERROR_SUCCESS) return status;
  const Module* module = PlatformModule();
  if (module == nullptr) {
    Report("RegFlushKey", "no module attached");
    return ERROR_BADDB;
  }
  RegistryData data;
  status = LoadLive("RegFlushKey", &data);
  if (status != ERROR_SUCCESS) return status;
  std::string error;
  const ModuleFlash* flash = PlatformModuleFlash(&error);
  if (flash == nullptr || !RegistryPersistSave(*module, *flash, RegistryToText(data), &error)) {
    Report("RegFlushKey", error);
    return ERROR_WRITE_FAULT;
  }
  return ERROR_SUCCESS;
}

void RegistryPlatformReset() {
  std::lock_guard<std::mutex> hold(g_registry.lock);
  g_registry.open.clear();
}

size_t RegistryOpenKeyCount() {
  std::lock_guard<std::mutex> hold(g_registry.lock);
  return g_registry.open.size();
}
