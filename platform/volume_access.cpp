#include "platform/volume_access.h"

#include "platform/error.h"
#include "platform/module_path.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr char16_t kSeparator = u'\\';
constexpr uint64_t kVolumeDevice = 0x564F4C554D450000ull;  // "VOLUME" and the partition slot
constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

bool MountFat(VolumeAccess* access) {
  if (!StorePartitionDeviceOpen(&access->session, access->slot, &access->partition)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  return VolumeSucceeded(FatMount(StorePartitionFat(&access->partition), &access->fat));
}

uint64_t Hash(uint64_t hash, std::u16string_view text) {
  for (char16_t c : text) hash = (hash ^ TextToLower(c)) * kFnvPrime;
  return hash;
}

}  // namespace

bool VolumeSucceeded(FatResult result) {
  switch (result) {
    case FatResult::Ok: return true;
    case FatResult::NotFound: SetLastError(ERROR_FILE_NOT_FOUND); break;
    case FatResult::PathNotFound: SetLastError(ERROR_PATH_NOT_FOUND); break;
    case FatResult::Exists: SetLastError(ERROR_ALREADY_EXISTS); break;
    case FatResult::NotEmpty: SetLastError(ERROR_DIR_NOT_EMPTY); break;
    case FatResult::NotDirectory: SetLastError(ERROR_DIRECTORY); break;
    case FatResult::IsDirectory:
    case FatResult::AccessDenied: SetLastError(ERROR_ACCESS_DENIED); break;
    case FatResult::DiskFull:
    case FatResult::TooLarge: SetLastError(ERROR_DISK_FULL); break;
    case FatResult::InvalidName: SetLastError(ERROR_INVALID_NAME); break;
    case FatResult::InvalidParameter: SetLastError(ERROR_INVALID_PARAMETER); break;
    case FatResult::Corrupt: SetLastError(ERROR_READ_FAULT); break;
    case FatResult::IoError: SetLastError(ERROR_WRITE_FAULT); break;
  }
  return false;
}

bool VolumeOpenPath(LPCWSTR path, uint32_t parseFlags, VolumePlace* place, VolumeAccess* access, bool* mounted) {
  *mounted = false;
  const Module* module = PlatformModule();
  DWORD saved = GetLastError();
  ModulePathParts parts;
  bool parsed = module != nullptr && path != nullptr && ModulePathParse(path, parseFlags, &parts);
  SetLastError(saved);
  if (!parsed || parts.components.empty()) return false;
  std::u16string volume = kSeparator + parts.components[0];
  std::vector<StoreDevice> devices;
  std::string error;
  if (!StoreListDevices(*module, &devices, &error)) return false;
  for (const StoreDevice& device : devices) {
    // Only a name that starts like the store's volumes is worth a session.
    std::u16string_view first = parts.components[0];
    if (first.size() < device.folder.size() || !TextEqualNoCase(first.substr(0, device.folder.size()), device.folder)) {
      continue;
    }
    if (!StorageBegin(device.deviceName, &access->device, &access->session)) {
      SetLastError(saved);
      continue;
    }
    for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
      if (!TextEqualNoCase(VolumeOf(access->device.deviceName, slot), volume)) continue;
      access->held = true;
      access->slot = slot;
      place->device = access->device.deviceName;
      place->slot = slot;
      place->start = access->session.table.slots[slot].start;
      place->inner.clear();
      for (size_t i = 1; i < parts.components.size(); i++) {
        if (i > 1) place->inner += kSeparator;
        place->inner += parts.components[i];
      }
      *mounted = MountFat(access);
      if (!*mounted) VolumeClose(access);
      return true;
    }
    StorageEnd(&access->session);
  }
  SetLastError(saved);
  return false;
}

bool VolumeOpenPlace(const VolumePlace& place, VolumeAccess* access) {
  if (!StorageBegin(place.device, &access->device, &access->session)) return false;
  access->held = true;
  access->slot = place.slot;
  const StorePartition& p = access->session.table.slots[place.slot];
  if (!p.used || p.start != place.start || VolumeOf(place.device, place.slot).empty()) {
    VolumeClose(access);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (MountFat(access)) return true;
  VolumeClose(access);
  return false;
}

void VolumeClose(VolumeAccess* access) {
  if (!access->held) return;
  StorageEnd(&access->session);
  access->held = false;
}

void VolumeFileIdentity(const VolumePlace& place, uint64_t* dev, uint64_t* ino) {
  *dev = kVolumeDevice | place.slot;
  *ino = Hash(Hash(kFnvOffset, place.device) * kFnvPrime, place.inner);
}
