// Memory sections. Paging-file backed ones are zero-filled when created; a
// named one belongs to the attached module and every process on it sees the
// same bytes, an unnamed one is this process's own. A section can also show
// a file of the object store, for reading.
#pragma once

#include "platform/memory.h"  // PAGE_READONLY, PAGE_READWRITE
#include "platform/types.h"

constexpr DWORD SEC_COMMIT = 0x08000000;
constexpr DWORD FILE_MAP_COPY = 0x0001;
constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;
// View offsets are multiples of this, as on the module.
constexpr DWORD kAllocationGranularity = 0x10000;

// With `file` INVALID_HANDLE_VALUE, a paging-file section: `protect` is
// PAGE_READONLY or PAGE_READWRITE, optionally with SEC_COMMIT. Opening an
// existing named section sets ERROR_ALREADY_EXISTS and keeps that section's
// size; else the last error is ERROR_SUCCESS. Named sections need an attached
// module (ERROR_PATH_NOT_FOUND).
// With a file handle opened for reading, an unnamed PAGE_READONLY section of
// the file's first `size` bytes (0: the whole file); ERROR_FILE_INVALID for
// an empty file, ERROR_INVALID_PARAMETER for a size past its end,
// ERROR_NOT_SUPPORTED for a name, PAGE_READWRITE or a file of a mounted
// volume. Null on failure.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect, DWORD sizeHigh,
                          DWORD sizeLow, LPCWSTR name);

// Maps `bytes` (0: up to the end) from the offset; FILE_MAP_WRITE or
// FILE_MAP_ALL_ACCESS give a writable view, FILE_MAP_READ a read-only one.
// The view outlives the mapping handle until UnmapViewOfFile.
LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, size_t bytes);

// FALSE with ERROR_INVALID_ADDRESS when `base` is not the start of a view.
BOOL UnmapViewOfFile(LPCVOID base);

// Unmaps every view still mapped.
void FileMappingResetForTests();
