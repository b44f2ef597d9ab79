// Sessions on the attached module's stores, and the mount table: which
// partitions this process's storage manager has mounted, under which
// volume names.
#include <algorithm>
#include <mutex>
#include <vector>

#include "module/module_dir.h"
#include "module/store_volume.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/platform.h"
#include "platform/storage_internal.h"
#include "platform/storage_paths.h"
#include "platform/text.h"

namespace {

constexpr char16_t kVolumeRoot[] = u"\\";
constexpr uint32_t kFirstNumberedVolume = 2;  // \Folder, then \Folder2, \Folder3 ...

struct Mount {
  std::u16string device;
  uint32_t slot = 0;
  uint32_t start = 0;  // the partition mounted, to notice when its entry was reused
  uint32_t count = 0;
  std::u16string volume;
};

// A store whose profile's auto-mount has been applied, by the driver
// instance it was seen on.
struct SeenStore {
  std::u16string device;
  uint32_t instance = 0;
};

struct VolumesState {
  std::mutex lock;
  std::string module;  // the module the table is of: another one starts afresh
  std::vector<SeenStore> seen;
  std::vector<Mount> mounts;
  // The last session's mount of the flash disk, for the next session to
  // take. Only used under the module's flash lock, which `lock` need not guard.
  FlashDisk keptMount;
};

VolumesState g_volumes;

bool SameDevice(std::u16string_view a, std::u16string_view b) { return TextEqualNoCase(a, b); }

bool VolumeTaken(std::u16string_view volume) {
  return std::any_of(g_volumes.mounts.begin(), g_volumes.mounts.end(),
                     [&](const Mount& m) { return TextEqualNoCase(m.volume, volume); });
}

void MountLocked(const StoreDevice& device, uint32_t slot, const StorePartition& partition) {
  std::u16string base = kVolumeRoot + device.folder;
  std::u16string volume = base;
  for (uint32_t n = kFirstNumberedVolume; VolumeTaken(volume); n++) {
    volume = base + Utf8ToUtf16(std::to_string(n));
  }
  g_volumes.mounts.push_back(Mount{device.deviceName, slot, partition.start, partition.count, volume});
}

}  // namespace

bool StorageBegin(std::u16string_view device, StoreDevice* found, StoreSession* session) {
  const Module* module = PlatformModule();
  std::string error;
  const ModuleFlash* flash = module == nullptr ? nullptr : PlatformModuleFlash(&error);
  if (flash == nullptr || !StoreFindDevice(*module, device, found, &error) ||
      !StoreSessionBegin(*module, *flash, *found, session, &error, &g_volumes.keptMount)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  VolumesSync(module->dir, *found, *session);
  return true;
}

void StorageEnd(StoreSession* session) { StoreSessionEnd(session); }

void StorageSetError(StoreResult result) {
  switch (result) {
    case StoreResult::Ok:
      SetLastError(ERROR_SUCCESS);
      break;
    case StoreResult::NoRoom:
      SetLastError(ERROR_DISK_FULL);
      break;
    case StoreResult::NoPartition:
      SetLastError(ERROR_INVALID_HANDLE);
      break;
    case StoreResult::NotFormatted:
      SetLastError(ERROR_NOT_SUPPORTED);
      break;
    case StoreResult::FlashFault:
      SetLastError(ERROR_WRITE_FAULT);
      break;
  }
}

void VolumesSync(const std::string& moduleDir, const StoreDevice& device, const StoreSession& session) {
  std::lock_guard<std::mutex> guard(g_volumes.lock);
  if (g_volumes.module != moduleDir) {
    g_volumes.module = moduleDir;
    g_volumes.seen.clear();
    g_volumes.mounts.clear();
  }
  // A partition that went away or was replaced (another process formatted
  // the store) takes its volume with it.
  std::erase_if(g_volumes.mounts, [&](const Mount& m) {
    if (!SameDevice(m.device, device.deviceName)) return false;
    const StorePartition& p = session.table.slots[m.slot];
    return !p.used || p.start != m.start || p.count != m.count;
  });
  // A store that came back on a new driver instance is a new arrival: what
  // was mounted from the old one went with it.
  auto seen = std::find_if(g_volumes.seen.begin(), g_volumes.seen.end(),
                           [&](const SeenStore& s) { return SameDevice(s.device, device.deviceName); });
  if (seen != g_volumes.seen.end() && seen->instance == device.instance) return;
  if (seen != g_volumes.seen.end()) {
    std::erase_if(g_volumes.mounts, [&](const Mount& m) { return SameDevice(m.device, device.deviceName); });
    g_volumes.seen.erase(seen);
  }
  g_volumes.seen.push_back(SeenStore{device.deviceName, device.instance});
  if (!device.autoMount) return;
  for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
    if (session.table.slots[slot].used) MountLocked(device, slot, session.table.slots[slot]);
  }
}

std::u16string VolumeOf(std::u16string_view device, uint32_t slot) {
  std::lock_guard<std::mutex> guard(g_volumes.lock);
  for (const Mount& m : g_volumes.mounts) {
    if (SameDevice(m.device, device) && m.slot == slot) return m.volume;
  }
  return {};
}

void VolumeMount(const StoreDevice& device, uint32_t slot, const StorePartition& partition) {
  std::lock_guard<std::mutex> guard(g_volumes.lock);
  MountLocked(device, slot, partition);
}

void VolumesDismountStore(std::u16string_view device) {
  std::lock_guard<std::mutex> guard(g_volumes.lock);
  std::erase_if(g_volumes.mounts, [&](const Mount& m) { return SameDevice(m.device, device); });
}

uint32_t VolumesMountCount(std::u16string_view device) {
  std::lock_guard<std::mutex> guard(g_volumes.lock);
  return static_cast<uint32_t>(std::count_if(g_volumes.mounts.begin(), g_volumes.mounts.end(),
                                             [&](const Mount& m) { return SameDevice(m.device, device); }));
}

void VolumesReset() {
  std::lock_guard<std::mutex> guard(g_volumes.lock);
  g_volumes.module.clear();
  g_volumes.seen.clear();
  g_volumes.mounts.clear();
  StorageDropKeptMount();
}

void StorageDropKeptMount() { g_volumes.keptMount = FlashDisk{}; }

void StorageResetForTests() { VolumesReset(); }

void PartitionSpace(StoreSession* session, uint32_t slot, uint64_t* total, uint64_t* free) {
  StorePartitionDevice device;
  FatVolume volume;
  FatSpace space;
  if (StorePartitionDeviceOpen(session, slot, &device) && FatMount(StorePartitionFat(&device), &volume) == FatResult::Ok &&
      FatGetSpace(&volume, &space) == FatResult::Ok) {
    *total = space.totalBytes;
    *free = space.freeBytes;
    return;
  }
  uint64_t bytes = session->disk.geometry.sectorBytes;
  *total = uint64_t{session->table.slots[slot].count} * bytes;
  *free = *total - uint64_t{StorePartitionMappedSectors(*session, slot)} * bytes;
}

bool StorageVolumeSpace(LPCWSTR path, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total, ULARGE_INTEGER* free,
                        BOOL* result) {
  // A volume's folder and everything inside it answer for the volume.
  ModulePathParts parts;
  const Module* module = PlatformModule();
  DWORD saved = GetLastError();
  bool parsed = path != nullptr && ModulePathParse(path, kResolveNormal, &parts);
  SetLastError(saved);
  if (!parsed || parts.components.empty() || module == nullptr) return false;
  std::u16string volume = kVolumeRoot + parts.components[0];
  std::vector<StoreDevice> devices;
  std::string error;
  if (!StoreListDevices(*module, &devices, &error)) return false;
  for (const StoreDevice& device : devices) {
    // Only a name that starts like the store's volumes is worth a mount.
    std::u16string_view folder = device.folder;
    if (parts.components[0].size() < folder.size() ||
        !TextEqualNoCase(std::u16string_view(parts.components[0]).substr(0, folder.size()), folder)) {
      continue;
    }
    StoreDevice found;
    StoreSession session;
    if (!StorageBegin(device.deviceName, &found, &session)) {
      SetLastError(saved);
      continue;
    }
    bool answered = false;
    for (uint32_t slot = 0; slot < kStoreMaxPartitions && !answered; slot++) {
      if (!TextEqualNoCase(VolumeOf(found.deviceName, slot), volume)) continue;
      // The file system on the volume tells; one that does not mount (a
      // partition never formatted) has the sectors that hold no data.
      uint64_t all = 0, unused = 0;
      PartitionSpace(&session, slot, &all, &unused);
      if (freeToCaller != nullptr) freeToCaller->QuadPart = unused;
      if (total != nullptr) total->QuadPart = all;
      if (free != nullptr) free->QuadPart = unused;
      answered = true;
    }
    StorageEnd(&session);
    if (answered) {
      *result = TRUE;
      return true;
    }
  }
  return false;
}
