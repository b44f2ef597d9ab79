// Names no FAT volume may hold, written straight into a folder's entries as
// a crafted or damaged volume has them, on a volume in memory or on the
// flash disk of a module.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "module/fat_volume.h"

// Gives the entry at `path` the long name `longName` (none when empty) and,
// unless `shortBytes` is empty, those 11 bytes as its short name. The entry
// must already have long name entries enough for `longName`; the ones left
// over are marked deleted. Failures are test failures.
void CraftEntryName(FatVolume* v, std::u16string_view path, std::u16string_view longName,
                    std::string_view shortBytes = {});

// Runs `edit` on the FAT volume of the first partition of the flash disk of
// the module in `dir`, the module's flash lock held meanwhile.
void EditModuleVolume(const std::string& dir, const std::function<void(FatVolume*)>& edit);
