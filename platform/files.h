// The module's files: the object store as programs on the module see it.
//
// Paths are absolute and backslash-separated ("/" also separates); names
// match without regard to case, the exact spelling preferred. A path without
// a leading separator starts at the root too, as the module has no current
// folder. Nothing a path names can lie outside the module's object store.
//
// Share modes are honoured between all handles on the module, in this
// process or another. Opening, deleting or moving a file while another
// handle has it open follows the module's sharing rules
// (ERROR_SHARING_VIOLATION).
#pragma once

#include "platform/handles.h"  // CloseHandle closes file handles
#include "platform/types.h"

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Access rights.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;

// Share modes.
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// File attributes.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x1;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x2;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x4;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
// The attributes a program can set; the rest are facts of the entry.
constexpr DWORD kSettableFileAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

// Flags of CreateFileW accepted and without effect here: the host's page
// cache stands in for the module's write-through and caching choices.
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// Move methods of SetFilePointer.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// RemoveDirectoryW on something that is not a folder.

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwOID;
  WCHAR cFileName[MAX_PATH];
};

// Opens or creates a file. CREATE_ALWAYS and OPEN_ALWAYS leave
// ERROR_ALREADY_EXISTS as the last error when the file was there (the handle
// is returned all the same), else 0. Folders, and read-only files for
// writing, are refused with ERROR_ACCESS_DENIED. FILE_ATTRIBUTE_* bits of
// `flagsAndAttributes` become the attributes of a new or replaced file.
HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                   DWORD flagsAndAttributes, HANDLE templateFile);

// Reads up to `count` bytes at the file position; at the end of the file 0
// bytes and TRUE.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, DWORD* done, LPOVERLAPPED overlapped);

// Writes at the file position; a full host disk gives ERROR_DISK_FULL with
// `done` holding what was written.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, DWORD* done, LPOVERLAPPED overlapped);

// Moves the file position; the distance is signed, 64-bit when `high` is
// given (which then receives the high half of the new position). Returns the
// low half, or INVALID_SET_FILE_POINTER with the last error set; a success
// clears the last error so callers can tell a low half of 0xFFFFFFFF apart.
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* high, DWORD method);

// Cuts or extends the file at its current position.
BOOL SetEndOfFile(HANDLE file);

// Low half of the size (high half into `high`); INVALID_FILE_SIZE with the
// last error on failure, which a success clears.
DWORD GetFileSize(HANDLE file, DWORD* high);

BOOL FlushFileBuffers(HANDLE file);

// Times of an open file; null pointers are skipped. The creation time is the
// host's birth time when it records one, else the last write time, and
// cannot be changed.
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* access, FILETIME* write);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access, const FILETIME* write);

BOOL DeleteFileW(LPCWSTR name);
BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(LPCWSTR name);

// Renames a file or folder; the new name must not exist yet (a change of
// case alone is allowed).
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);

// As MoveFileW; with MOVEFILE_REPLACE_EXISTING a file may take the place of
// another file in one step, unless that one is read-only
// (ERROR_ACCESS_DENIED) or open (ERROR_SHARING_VIOLATION).
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);

// INVALID_FILE_ATTRIBUTES with the last error when the entry is missing.
DWORD GetFileAttributesW(LPCWSTR name);
BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes);

// Searches one folder: * and ? in the last component, without regard to
// case; "." and ".." are never reported, nor links and other host oddities.
// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when nothing matches; the
// end of the search is ERROR_NO_MORE_FILES.
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE search, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE search);

// Space of the volume that holds `path` (null: the root); each result
// pointer may be null.
BOOL GetDiskFreeSpaceExW(LPCWSTR path, ULARGE_INTEGER* freeToCaller, ULARGE_INTEGER* total, ULARGE_INTEGER* free);

// A host file (not a module path) as a read-only handle the file calls take:
// the host tools judge files kept on the host with the program's own code.
// Not a call the program makes; INVALID_HANDLE_VALUE with the last error set
// for a file that cannot be opened or is not a regular file.
HANDLE HostFileOpenForReading(const char* hostPath);

// Forgets the test hooks; for tests, with every file handle closed.
void FilesReset();
