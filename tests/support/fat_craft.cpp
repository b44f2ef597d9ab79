#include "tests/support/fat_craft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "module/fat_internal.h"
#include "module/module_image.h"
#include "module/storage_manager.h"
#include "module/store_volume.h"

void CraftEntryName(FatVolume* v, std::u16string_view path, std::u16string_view longName, std::string_view shortBytes) {
  FatPlace place;
  ASSERT_EQ(FatResolve(v, path, &place), FatResult::Ok);
  ASSERT_GE(place.found, 0) << "nothing to rename at the path";
  const FatDirEntry& entry = place.entries[place.found];
  uint8_t* shortEntry = FatSlot(&place.parent, entry.slot);
  if (!shortBytes.empty()) {
    ASSERT_EQ(shortBytes.size(), entry.shortName.size());
    std::copy(shortBytes.begin(), shortBytes.end(), shortEntry);
  }
  FatShortName shortName{};
  std::copy_n(shortEntry, shortName.size(), shortName.begin());
  std::vector<uint8_t> longEntries;
  if (!longName.empty()) FatEncodeLongEntries(longName, FatShortChecksum(shortName), &longEntries);
  uint32_t count = static_cast<uint32_t>(longEntries.size() / kFatDirEntryBytes);
  ASSERT_LE(count, entry.slot - entry.first) << "the entry has too few long name entries for the new name";
  uint32_t start = entry.slot - count;
  for (uint32_t s = entry.first; s <= entry.slot; s++) {
    if (s < start) *FatSlot(&place.parent, s) = kFatDeleted;
    if (s >= start && s < entry.slot) {
      std::copy_n(longEntries.data() + size_t{s - start} * kFatDirEntryBytes, kFatDirEntryBytes,
                  FatSlot(&place.parent, s));
    }
    FatMarkSlot(&place.parent, s);
  }
  ASSERT_EQ(FatDirSave(v, &place.parent), FatResult::Ok);
}

void EditModuleVolume(const std::string& dir, const std::function<void(FatVolume*)>& edit) {
  Module module;
  std::vector<StoreDevice> devices;
  std::string error;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error) && StoreListDevices(module, &devices, &error)) << error;
  ASSERT_FALSE(devices.empty());
  ModuleImage image;
  ASSERT_TRUE(ModuleImageOpen(module, &image, &error)) << error;
  StoreSession session;
  if (StoreSessionBegin(module, image.flash, devices.front(), &session, &error)) {
    StorePartitionDevice partition;
    FatVolume fat;
    EXPECT_TRUE(StorePartitionDeviceOpen(&session, 0, &partition));
    EXPECT_EQ(FatMount(StorePartitionFat(&partition), &fat), FatResult::Ok);
    edit(&fat);
    StoreSessionEnd(&session);
  } else {
    ADD_FAILURE() << error;
  }
  ModuleImageClose(&image);
}
