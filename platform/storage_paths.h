// Where the file calls meet the storage manager: the older OS reaches stores
// through the paths "\StoreMgr\<device name>" (open) and "\StoreMgr"
// (search), store and partition searches end through the general find
// calls, and a mounted volume's folder answers for its partition's space.
// Each hook returns true when the call was the storage manager's, with the
// call's result in the last argument; false leaves the call to the files.
#pragma once

#include "platform/types.h"

bool StoragePathOpen(LPCWSTR name, HANDLE* handle);
bool StoragePathSearch(LPCWSTR pattern, void* record, HANDLE* handle);
bool StorageSearchNext(HANDLE search, void* record, BOOL* result);
bool StorageSearchClose(HANDLE search, BOOL* result);
bool StorageVolumeSpace(LPCWSTR path, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total, ULARGE_INTEGER* free,
                        BOOL* result);
