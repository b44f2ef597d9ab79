// The storage manager's store and partition operations over the attached
// module's flash disk stores.
#include <new>
#include <vector>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/storage_internal.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kHalfBits = 32;

struct StoreSearchObject {
  HandleObject header;
  std::vector<std::u16string> devices;  // taken when the search began
  size_t next = 0;
};

struct PartitionSearchObject {
  HandleObject header;
  std::u16string device;
  std::vector<uint32_t> slots;  // taken when the search began
  size_t next = 0;
};

template <typename T>
bool DeleteObject(HandleObject* self) {
  delete reinterpret_cast<T*>(self);
  return true;
}

template <typename T>
T* NewObject(HandleKind kind) {
  auto* object = new (std::nothrow) T{};
  if (object == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->header.kind = kind;
  object->header.close = DeleteObject<T>;
  return object;
}

template <size_t N>
void CopyText(WCHAR (&dest)[N], const std::u16string& text) {
  TextCopy(dest, N, text.c_str());
}

FILETIME ToFileTime(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> kHalfBits)};
}

void FillStoreInfo(const StoreDevice& device, const StoreSession& session, STOREINFO* info) {
  *info = STOREINFO{};
  info->cbSize = sizeof(STOREINFO);
  CopyText(info->szDeviceName, device.deviceName);
  CopyText(info->szStoreName, device.storeName);
  info->dwDeviceClass = STORAGE_DEVICE_CLASS_BLOCK;
  info->dwDeviceType = STORAGE_DEVICE_TYPE_FLASH;
  info->sdi.cbSize = sizeof(STORAGEDEVICEINFO);
  CopyText(info->sdi.szProfile, device.profile);
  info->sdi.dwDeviceClass = STORAGE_DEVICE_CLASS_BLOCK;
  info->sdi.dwDeviceType = STORAGE_DEVICE_TYPE_FLASH;
  info->sdi.dwDeviceFlags = STORAGE_DEVICE_FLAG_READWRITE;
  info->dwDeviceFlags = STORAGE_DEVICE_FLAG_READWRITE;
  info->snNumSectors = FlashDiskSectorCount(session.disk);
  info->dwBytesPerSector = session.disk.geometry.sectorBytes;
  info->snFreeSectors = StoreFreeSectors(session);
  info->snBiggestPartCreatable = StoreBiggestCreatable(session);
  info->ftCreated = ToFileTime(session.table.created);
  info->ftLastModified = ToFileTime(session.table.modified);
  info->dwAttributes = (session.table.present ? 0 : STORE_ATTRIBUTE_UNFORMATTED) |
                       (device.autoMount ? STORE_ATTRIBUTE_AUTOMOUNT : 0);
  info->dwPartitionCount = PartitionTableCount(session.table);
  info->dwMountCount = VolumesMountCount(device.deviceName);
}

void FillPartInfo(const StoreDevice& device, const StoreSession& session, uint32_t slot, PARTINFO* info) {
  const StorePartition& p = session.table.slots[slot];
  *info = PARTINFO{};
  info->cbSize = sizeof(PARTINFO);
  CopyText(info->szPartitionName, StorePartitionName(slot));
  CopyText(info->szFileSys, device.fileSystem);
  CopyText(info->szVolumeName, VolumeOf(device.deviceName, slot));
  info->snNumSectors = p.count;
  info->ftCreated = ToFileTime(p.created);
  info->ftLastModified = ToFileTime(p.modified);
  info->dwAttributes = p.attributes;
  info->bPartType = p.type;
}

template <typename Record>
bool RecordUsable(const Record* info) {
  if (info != nullptr && info->cbSize == sizeof(Record)) return true;
  SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

// The session for a handle's store; a partition handle's partition must
// still be the one it was opened on.
bool BeginFor(const StoreObject* object, StoreDevice* device, StoreSession* session) {
  if (!StorageBegin(object->device, device, session)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  // A store of the same name from a driver started since is another store.
  if (device->instance != object->instance) {
    StorageEnd(session);
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (object->slot == kStoreLevel) return true;
  const StorePartition& p = session->table.slots[object->slot];
  if (p.used && p.start == object->start && p.count == object->count) return true;
  StorageEnd(session);
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

// Runs `step` on the session of `object`'s store and reports its result.
template <typename Step>
BOOL WithStore(StoreObject* object, Step step) {
  if (object == nullptr) return FALSE;
  StoreDevice device;
  StoreSession session;
  if (!BeginFor(object, &device, &session)) return FALSE;
  bool ok = step(device, &session);
  DWORD error = GetLastError();
  StorageEnd(&session);
  SetLastError(error);
  return ok ? TRUE : FALSE;
}

bool Succeeded(StoreResult result) {
  if (result == StoreResult::Ok) return true;
  StorageSetError(result);
  return false;
}

// Fills `info` from the next store of the search that still exists.
bool NextStore(StoreSearchObject* search, STOREINFO* info) {
  while (search->next < search->devices.size()) {
    StoreDevice device;
    StoreSession session;
    if (!StorageBegin(search->devices[search->next++], &device, &session)) continue;
    FillStoreInfo(device, session, info);
    StorageEnd(&session);
    return true;
  }
  SetLastError(ERROR_NO_MORE_FILES);
  return false;
}

bool NextPartition(PartitionSearchObject* search, PARTINFO* info) {
  StoreDevice device;
  StoreSession session;
  if (!StorageBegin(search->device, &device, &session)) {
    SetLastError(ERROR_NO_MORE_FILES);
    return false;
  }
  bool found = false;
  while (!found && search->next < search->slots.size()) {
    uint32_t slot = search->slots[search->next++];
    if (!session.table.slots[slot].used) continue;
    FillPartInfo(device, session, slot, info);
    found = true;
  }
  StorageEnd(&session);
  if (!found) SetLastError(ERROR_NO_MORE_FILES);
  return found;
}

StoreObject* NewStoreObject(const std::u16string& device, uint32_t instance) {
  auto* object = NewObject<StoreObject>(HandleKind::Store);
  if (object != nullptr) {
    object->device = device;
    object->instance = instance;
  }
  return object;
}

}  // namespace

StoreObject* StoreFromHandle(HANDLE handle) {
  auto* object = HandleGet<StoreObject>(handle, HandleKind::Store);
  if (object == nullptr || object->slot == kStoreLevel) return object;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

StoreObject* PartitionFromHandle(HANDLE handle) {
  auto* object = HandleGet<StoreObject>(handle, HandleKind::Store);
  if (object == nullptr || object->slot != kStoreLevel) return object;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

uint64_t StorageNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return uint64_t{now.dwHighDateTime} << kHalfBits | now.dwLowDateTime;
}

HANDLE StorageOpenStore(LPCWSTR deviceName) {
  if (deviceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string name(deviceName, TextLengthBounded(deviceName, MAX_PATH));
  StoreDevice device;
  StoreSession session;
  if (!StorageBegin(name, &device, &session)) return INVALID_HANDLE_VALUE;
  StorageEnd(&session);
  StoreObject* object = NewStoreObject(device.deviceName, device.instance);
  return object == nullptr ? INVALID_HANDLE_VALUE : HandleRegister(&object->header);
}

BOOL StorageDismountStore(HANDLE store) {
  return WithStore(StoreFromHandle(store), [](const StoreDevice& device, StoreSession*) {
    VolumesDismountStore(device.deviceName);
    return true;
  });
}

BOOL StorageFormatStore(HANDLE store) {
  return WithStore(StoreFromHandle(store), [](const StoreDevice& device, StoreSession* session) {
    // Formatting under a mounted volume would pull the disk from under its files.
    if (VolumesMountCount(device.deviceName) != 0) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return false;
    }
    std::string error;
    return Succeeded(StoreFormat(session, StorageNow(), &error));
  });
}

HANDLE StorageFindFirstStore(STOREINFO* info) {
  if (!RecordUsable(info)) return INVALID_HANDLE_VALUE;
  const Module* module = PlatformModule();
  std::vector<StoreDevice> devices;
  std::string error;
  if (module != nullptr && !StoreListDevices(*module, &devices, &error)) devices.clear();
  auto* search = NewObject<StoreSearchObject>(HandleKind::StoreSearch);
  if (search == nullptr) return INVALID_HANDLE_VALUE;
  for (const StoreDevice& d : devices) search->devices.push_back(d.deviceName);
  if (!NextStore(search, info)) {
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  return HandleRegister(&search->header);
}

BOOL StorageFindNextStore(HANDLE search, STOREINFO* info) {
  auto* object = HandleGet<StoreSearchObject>(search, HandleKind::StoreSearch);
  if (object == nullptr || !RecordUsable(info)) return FALSE;
  return NextStore(object, info) ? TRUE : FALSE;
}

BOOL StorageFindCloseStore(HANDLE search) {
  HandleObject* object = HandleUnregister(search, HandleKind::StoreSearch);
  return object != nullptr && object->close(object) ? TRUE : FALSE;
}

BOOL StorageGetStoreInfo(HANDLE store, STOREINFO* info) {
  StoreObject* object = StoreFromHandle(store);
  if (object == nullptr || !RecordUsable(info)) return FALSE;
  return WithStore(object, [info](const StoreDevice& device, StoreSession* session) {
    FillStoreInfo(device, *session, info);
    return true;
  });
}

BOOL StorageCreatePartitionEx(HANDLE store, LPCWSTR name, BYTE partType, ULONGLONG sectors) {
  StoreObject* object = StoreFromHandle(store);
  if (object == nullptr) return FALSE;
  constexpr size_t kNameCapacity = sizeof(PARTINFO::szPartitionName) / sizeof(WCHAR);
  if (name == nullptr || TextLengthBounded(name, kNameCapacity) >= kNameCapacity || partType == 0 || sectors == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string given(name);
  return WithStore(object, [&](const StoreDevice&, StoreSession* session) {
    // Partitions are known by their table entry; the name given only has
    // to differ from the names already taken.
    for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
      if (session->table.slots[slot].used && TextEqualNoCase(StorePartitionName(slot), given)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
      }
    }
    uint32_t slot = 0;
    std::string error;
    return Succeeded(StoreCreatePartition(session, partType, sectors, StorageNow(), &slot, &error));
  });
}

HANDLE StorageOpenPartition(HANDLE store, LPCWSTR name) {
  StoreObject* object = StoreFromHandle(store);
  if (object == nullptr) return INVALID_HANDLE_VALUE;
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string wanted(name, TextLengthBounded(name, MAX_PATH));
  StorePartition found;
  uint32_t foundSlot = kStoreLevel;
  BOOL ok = WithStore(object, [&](const StoreDevice&, StoreSession* session) {
    for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
      if (session->table.slots[slot].used && TextEqualNoCase(StorePartitionName(slot), wanted)) {
        found = session->table.slots[slot];
        foundSlot = slot;
        return true;
      }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  });
  if (!ok) return INVALID_HANDLE_VALUE;
  StoreObject* partition = NewStoreObject(object->device, object->instance);
  if (partition == nullptr) return INVALID_HANDLE_VALUE;
  partition->slot = foundSlot;
  partition->start = found.start;
  partition->count = found.count;
  return HandleRegister(&partition->header);
}

BOOL StorageMountPartition(HANDLE partition) {
  StoreObject* object = PartitionFromHandle(partition);
  return WithStore(object, [object](const StoreDevice& device, StoreSession* session) {
    if (!VolumeOf(device.deviceName, object->slot).empty()) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return false;
    }
    VolumeMount(device, object->slot, session->table.slots[object->slot]);
    return true;
  });
}

BOOL StorageSetPartitionAttributes(HANDLE partition, DWORD attributes) {
  StoreObject* object = PartitionFromHandle(partition);
  return WithStore(object, [object, attributes](const StoreDevice&, StoreSession* session) {
    std::string error;
    return Succeeded(StoreSetPartitionAttributes(session, object->slot, attributes, StorageNow(), &error));
  });
}

BOOL StorageFormatPartition(HANDLE partition) {
  StoreObject* object = PartitionFromHandle(partition);
  return WithStore(object, [object](const StoreDevice& device, StoreSession* session) {
    if (!VolumeOf(device.deviceName, object->slot).empty()) {
      SetLastError(ERROR_SHARING_VIOLATION);
      return false;
    }
    std::string error;
    return Succeeded(StoreFormatPartition(session, object->slot, StorageNow(), &error));
  });
}

HANDLE StorageFindFirstPartition(HANDLE store, PARTINFO* info) {
  StoreObject* object = StoreFromHandle(store);
  if (object == nullptr || !RecordUsable(info)) return INVALID_HANDLE_VALUE;
  auto* search = NewObject<PartitionSearchObject>(HandleKind::PartitionSearch);
  if (search == nullptr) return INVALID_HANDLE_VALUE;
  search->device = object->device;
  BOOL ok = WithStore(object, [search](const StoreDevice&, StoreSession* session) {
    for (uint32_t slot = 0; slot < kStoreMaxPartitions; slot++) {
      if (session->table.slots[slot].used) search->slots.push_back(slot);
    }
    return true;
  });
  if (!ok || !NextPartition(search, info)) {
    delete search;
    return INVALID_HANDLE_VALUE;
  }
  return HandleRegister(&search->header);
}

BOOL StorageFindNextPartition(HANDLE search, PARTINFO* info) {
  auto* object = HandleGet<PartitionSearchObject>(search, HandleKind::PartitionSearch);
  if (object == nullptr || !RecordUsable(info)) return FALSE;
  return NextPartition(object, info) ? TRUE : FALSE;
}

BOOL StorageFindClosePartition(HANDLE search) {
  HandleObject* object = HandleUnregister(search, HandleKind::PartitionSearch);
  return object != nullptr && object->close(object) ? TRUE : FALSE;
}
