// The operating system's version, as the attached module reports it.
#pragma once

#include "platform/types.h"

constexpr DWORD VER_PLATFORM_WIN32_CE = 3;

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;  // set by the caller to sizeof(OSVERSIONINFOW)
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276, "the record's size is fixed by the platform");

// Fills the record from the module (5.0 unless module.ini says otherwise).
// Fails with ERROR_INVALID_PARAMETER when the size field is not the record's.
BOOL GetVersionExW(OSVERSIONINFOW* info);
