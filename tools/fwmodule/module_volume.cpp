#include "tools/fwmodule/module_volume.h"

#include <algorithm>
#include <vector>

#include "platform/text.h"
#include "tools/fwmodule/commands.h"

namespace {

constexpr uint32_t kFirstNumberedVolume = 2;  // \Folder, then \Folder2 ...

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool Taken(const std::vector<std::u16string>& names, std::u16string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const std::u16string& n) { return TextEqualNoCase(n, name); });
}

std::string VolumeList(const std::vector<std::u16string>& names, const std::string& storeError) {
  if (names.empty()) return storeError.empty() ? "it has none" : storeError;
  std::string list = "its volumes: ";
  for (size_t i = 0; i < names.size(); i++) list += (i == 0 ? "" : ", ") + Utf16ToUtf8(names[i]);
  return list;
}

}  // namespace

bool ModuleStoreOpen(const Module& module, const StoreDevice& device, ModuleStore* store, std::string* error) {
  if (!store->imageOpen) {
    if (!ModuleImageOpen(module, &store->image, error)) return false;
    store->imageOpen = true;
  }
  if (!StoreSessionBegin(module, store->image.flash, device, &store->session, error)) {
    *error = "the store \"" + Utf16ToUtf8(device.storeName) + "\" cannot be opened: " + *error;
    return false;
  }
  store->sessionOpen = true;
  return true;
}

void ModuleStoreClose(ModuleStore* store) {
  if (store->sessionOpen) StoreSessionEnd(&store->session);
  store->sessionOpen = false;
  if (store->imageOpen) ModuleImageClose(&store->image);
  store->imageOpen = false;
}

bool ModuleVolumeOpen(const std::string& moduleDir, std::u16string_view modulePath, ModuleVolume* volume,
                      std::string* error) {
  Module module;
  if (!ModuleOpen(moduleDir, &module, error)) return false;
  size_t start = 0;
  while (start < modulePath.size() && IsSeparator(modulePath[start])) start++;
  size_t end = start;
  while (end < modulePath.size() && !IsSeparator(modulePath[end])) end++;
  std::u16string_view wanted = modulePath.substr(start, end - start);
  while (end < modulePath.size() && IsSeparator(modulePath[end])) end++;

  std::vector<StoreDevice> devices;
  if (!StoreListDevices(module, &devices, error)) return false;
  std::vector<std::u16string> names;
  std::string storeError;
  for (const StoreDevice& device : devices) {
    // A store that does not open has no volumes for now, as for the module.
    if (!ModuleStoreOpen(module, device, &volume->store, &storeError)) continue;
    const PartitionTable& table = volume->store.session.table;
    for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
      if (!table.slots[slot].used) continue;
      std::u16string base = u"\\" + device.folder, name = base;
      for (uint32_t n = kFirstNumberedVolume; Taken(names, name); n++) name = base + Utf8ToUtf16(std::to_string(n));
      names.push_back(name);
      if (wanted.empty() || !TextEqualNoCase(std::u16string_view(name).substr(1), wanted)) continue;
      volume->folder = name;
      volume->path = std::u16string(modulePath.substr(end));
      StorePartitionDeviceOpen(&volume->store.session, slot, &volume->partition);
      FatResult mounted = FatMount(StorePartitionFat(&volume->partition), &volume->fat);
      if (mounted == FatResult::Ok) return true;
      *error = ModuleVolumeError(*volume, name, mounted) + " (no FAT volume there)";
      ModuleStoreClose(&volume->store);
      return false;
    }
    StoreSessionEnd(&volume->store.session);
    volume->store.sessionOpen = false;
  }
  ModuleStoreClose(&volume->store);
  *error = Utf16ToUtf8(modulePath) + " is not on a volume of the module (" + VolumeList(names, storeError) + ")";
  return false;
}

void ModuleVolumeClose(ModuleVolume* volume) { ModuleStoreClose(&volume->store); }

std::string ModuleVolumeError(const ModuleVolume& volume, std::u16string_view modulePath, FatResult result) {
  std::string text = Utf16ToUtf8(modulePath) + ": " + FatResultName(result);
  if (result == FatResult::IoError && !volume.partition.error.empty()) text += " (" + volume.partition.error + ")";
  return text;
}
