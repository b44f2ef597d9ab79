// Paging-file backed memory sections. A named section belongs to the
// attached module and every process on it sees the same bytes; an unnamed one
// is this process's own. Sections are zero-filled when created.
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

// `file` must be INVALID_HANDLE_VALUE (mapping host files is not offered).
// `protect` is PAGE_READONLY or PAGE_READWRITE, optionally with SEC_COMMIT.
// Opening an existing named section sets ERROR_ALREADY_EXISTS and keeps that
// section's size; else the last error is ERROR_SUCCESS. Null on failure;
// named sections need an attached module (ERROR_PATH_NOT_FOUND).
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
