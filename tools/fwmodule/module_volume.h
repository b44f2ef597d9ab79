// fwmodule's way onto the module's flash disk: the module's flash as its OS
// sees it (module_image.h) and one store session, so the flash lock is held as long as the disk is in
// use and a program running on the module waits meanwhile. Volumes are found
// by their folder the way the storage manager mounts them: the partitions of
// each store, in table order, take \Folder, \Folder2 ... of their profile.
#pragma once

#include <string>
#include <string_view>

#include "module/fat_volume.h"
#include "module/module_dir.h"
#include "module/module_image.h"
#include "module/storage_manager.h"
#include "module/store_volume.h"

struct ModuleStore {
  ModuleImage image;
  bool imageOpen = false;
  StoreSession session;
  bool sessionOpen = false;
};

// The store of `device`, its session begun.
bool ModuleStoreOpen(const Module& module, const StoreDevice& device, ModuleStore* store, std::string* error);
// Ends the session and closes the image; harmless on a store never opened.
void ModuleStoreClose(ModuleStore* store);

struct ModuleVolume {
  ModuleStore store;
  StorePartitionDevice partition;
  FatVolume fat;
  std::u16string folder;  // "\Hard Disk"
  std::u16string path;    // within the volume; empty for its root
};

// Mounts the volume `modulePath` ("\Hard Disk\dir\file") of the module in
// `moduleDir` lies on. The volume must not move while open: the partition
// device points into its session.
bool ModuleVolumeOpen(const std::string& moduleDir, std::u16string_view modulePath, ModuleVolume* volume,
                      std::string* error);
void ModuleVolumeClose(ModuleVolume* volume);

// "path: not found", with the flash's own word when the device failed.
std::string ModuleVolumeError(const ModuleVolume& volume, std::u16string_view modulePath, FatResult result);
