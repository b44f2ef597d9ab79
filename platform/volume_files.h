// The file calls on the flash disk's mounted volumes ("\Hard Disk\..."),
// served by the FAT file system on the volume's partition. Each call is one
// store session: the module's flash lock held and the disk mounted, so other
// programs on the module see every change at once. Each hook returns true
// when the path or handle is a volume's, with the call's result in its last
// argument (or as its return value for handle calls); false leaves the call
// to the object store.
#pragma once

#include "platform/files.h"
#include "platform/types.h"

bool VolumeCreateFile(LPCWSTR name, DWORD access, DWORD share, DWORD creation, DWORD attributes, HANDLE* handle);

// Whether `handle` is a file opened on a volume; the calls below take only such.
bool VolumeFileHandle(HANDLE handle);
BOOL VolumeReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* done);
BOOL VolumeWriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* done);
DWORD VolumeSetFilePointer(HANDLE handle, LONG distance, LONG* high, DWORD method);
BOOL VolumeSetEndOfFile(HANDLE handle);
DWORD VolumeGetFileSize(HANDLE handle, DWORD* high);
BOOL VolumeGetFileTime(HANDLE handle, FILETIME* creation, FILETIME* access, FILETIME* write);
BOOL VolumeSetFileTime(HANDLE handle, const FILETIME* creation, const FILETIME* access, const FILETIME* write);

bool VolumeDeleteFile(LPCWSTR name, BOOL* result);
bool VolumeCreateDirectory(LPCWSTR name, BOOL* result);
bool VolumeRemoveDirectory(LPCWSTR name, BOOL* result);
bool VolumeMoveFile(LPCWSTR existing, LPCWSTR target, DWORD flags, BOOL* result);
bool VolumeGetAttributes(LPCWSTR name, DWORD* attributes);
bool VolumeSetAttributes(LPCWSTR name, DWORD attributes, BOOL* result);

bool VolumeFindFirst(LPCWSTR pattern, WIN32_FIND_DATAW* data, HANDLE* search);
bool VolumeFindNext(HANDLE search, WIN32_FIND_DATAW* data, BOOL* result);
