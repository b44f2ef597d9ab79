// The registry calls of the platform, over the module's live registry.
// Only HKEY_LOCAL_MACHINE exists. A key handle names its key by path, so
// every query reads the module's shared registry afresh and sees what other
// processes changed; a key deleted meanwhile makes calls fail cleanly.
// The calls return the error code itself, as on the platform.
#pragma once

#include <cstdint>

#include "module/registry_store.h"  // the value types (REG_SZ ...), one definition for both layers
#include "platform/types.h"

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_NOTIFY = 0x0010;
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// The registry file cannot be read or is malformed.

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, DWORD samDesired, HKEY* result);
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options, DWORD samDesired,
                     LPSECURITY_ATTRIBUTES security, HKEY* result, DWORD* disposition);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* dataBytes);
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD dataBytes);
LONG RegDeleteValueW(HKEY key, LPCWSTR valueName);
// Removes the subkey with everything below it.
LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// `nameChars` holds the buffer's capacity in characters (terminator included)
// and receives the name's length without it.
LONG RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, DWORD* nameChars, DWORD* reserved, LPWSTR keyClass,
                   DWORD* classChars, FILETIME* lastWrite);
LONG RegCloseKey(HKEY key);
// Saves the whole live registry into the module's flash (the persistent registry).
LONG RegFlushKey(HKEY key);

// Closes every open key handle, for tests.
void RegistryPlatformReset();
// Number of open key handles, for tests that check nothing leaks.
size_t RegistryOpenKeyCount();
