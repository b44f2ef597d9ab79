#include "storage/store_format.h"

#include "fwlib/callbacks.h"
#include "fwlib/fs_region.h"
#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "platform/handles.h"
#include "platform/text.h"
#include "storage/store_access.h"

namespace {

constexpr ULONGLONG ALL_REMAINING_SECTORS = ~ULONGLONG{0};
constexpr size_t DEVICE_NAME_CHARS = sizeof STOREINFO::szDeviceName / sizeof(WCHAR);
constexpr size_t STORE_NAME_CHARS = sizeof STOREINFO::szStoreName / sizeof(WCHAR);

// Store names compare exactly: another spelling is another store.
bool IsInternalFlash(const STOREINFO& info) {
  WCHAR name[STORE_NAME_CHARS + 1];
  TextCopyField(name, STORE_NAME_CHARS + 1, info.szStoreName, STORE_NAME_CHARS);
  return TextCompare(name, FS_STORE_NAME) == 0;
}

uint32_t FormatFound(HANDLE store, const STOREINFO& info) {
  TextCopyField(FwlState()->storeDeviceName, STORE_DEVICE_NAME_CHARS, info.szDeviceName, DEVICE_NAME_CHARS);
  if (!DismountStore(store)) return FWL_ERR_FORMAT;
  if (!ReportErase(FS_PHASE_FORMATTING, 0)) return FWL_ERR_USER_ABORT;
  if (!FormatStore(store)) return FWL_ERR_FORMAT;
  return ReportErase(FS_PHASE_FORMATTED, 0) ? FWL_OK : FWL_ERR_USER_ABORT;
}

}  // namespace

uint32_t FormatInternalStore(HANDLE* store) {
  *store = INVALID_HANDLE_VALUE;
  FwlState()->storeDeviceName[0] = 0;
  STOREINFO info = {};
  info.cbSize = STORE_INFO_BYTES;
  HANDLE search = FindFirstStore(&info);
  if (search == INVALID_HANDLE_VALUE) return FWL_ERR_FORMAT;
  uint32_t result = FWL_ERR_FORMAT;
  do {
    if (!IsInternalFlash(info)) continue;
    WCHAR device[DEVICE_NAME_CHARS + 1];
    TextCopyField(device, DEVICE_NAME_CHARS + 1, info.szDeviceName, DEVICE_NAME_CHARS);
    HANDLE opened = OpenStore(device);
    if (opened == INVALID_HANDLE_VALUE) continue;
    *store = opened;
    result = FormatFound(opened, info);
    break;
  } while ((info.cbSize = STORE_INFO_BYTES, FindNextStore(search, &info)));
  FindCloseStore(search);
  return result;
}

bool CreateStreamPartition(HANDLE store, const PARTINFO& record) {
  ULONGLONG sectors = record.snNumSectors;
  if (sectors == ALL_REMAINING_SECTORS) {
    STOREINFO info = {};
    info.cbSize = STORE_INFO_BYTES;
    if (!GetStoreInfo(store, &info)) return false;
    sectors = info.snBiggestPartCreatable;
  }
  constexpr size_t chars = sizeof record.szPartitionName / sizeof(WCHAR);
  WCHAR name[chars + 1];
  TextCopyField(name, chars + 1, record.szPartitionName, chars);
  if (!CreatePartitionEx(store, name, record.bPartType, sectors)) return false;
  HANDLE partition = OpenPartition(store, name);
  if (partition == INVALID_HANDLE_VALUE) return false;
  bool ok = FormatPartition(partition) && MountPartition(partition) &&
            SetPartitionAttributes(partition, record.dwAttributes);
  CloseHandle(partition);
  return ok;
}
