#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "platform/debug.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "tests/support/temp_module.h"

namespace {

class RegistryCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = AttachTempModule();
    ASSERT_FALSE(dir_.empty());
    // Start from an empty registry so that each test sees only its own keys.
    std::string error;
    ASSERT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir_), "", &error)) << error;
    RegistryPlatformReset();
    DebugSetCaptureSink(&debug_);
  }
  void TearDown() override {
    EXPECT_EQ(RegistryOpenKeyCount(), 0u) << "a test leaked key handles";
    RegistryPlatformReset();
    DebugReset();
    PlatformDetachModule();
    std::filesystem::remove_all(dir_);
  }

  HKEY Create(LPCWSTR path, DWORD* disposition = nullptr, HKEY base = HKEY_LOCAL_MACHINE) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(base, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, disposition), ERROR_SUCCESS);
    return key;
  }

  std::string dir_;
  std::string debug_;
};

LONG SetBytes(HKEY key, LPCWSTR name, DWORD type, const void* data, DWORD size) {
  return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG SetDword(HKEY key, LPCWSTR name, DWORD value) { return SetBytes(key, name, REG_DWORD, &value, sizeof value); }

std::u16string ValueName(std::u16string prefix, DWORD index) {
  for (char c : std::to_string(index)) prefix.push_back(static_cast<char16_t>(c));
  return prefix;
}

}  // namespace

// Whatever bytes go in come back with the same type and exact size, tidy or not.
TEST_F(RegistryCalls, ValuesKeepTypeAndExactSize) {
  HKEY key = Create(u"Drivers\\BuiltIn\\FWLFMD");
  const char16_t dll[] = u"flashdisk.dll";
  const BYTE odd[] = {1, 2, 3};
  const char16_t multi[] = u"a\0bc\0";
  struct Case {
    LPCWSTR name;
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {
      {u"Dll", REG_SZ, dll, sizeof dll},
      {u"Prefix", REG_SZ, u"DSK", 6},  // without terminator, as the restore writes it
      {u"Odd", REG_SZ, odd, 3},
      {u"Blob", REG_BINARY, odd, 3},
      {u"Multi", REG_MULTI_SZ, multi, sizeof multi},
      {u"Nothing", REG_BINARY, nullptr, 0},
      {u"Custom", 0x42, odd, 2},
  };
  for (const Case& c : cases) ASSERT_EQ(SetBytes(key, c.name, c.type, c.data, c.size), ERROR_SUCCESS) << c.size;
  ASSERT_EQ(SetDword(key, u"Order", 2), ERROR_SUCCESS);

  for (const Case& c : cases) {
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.size);
    BYTE buffer[64] = {};
    size = sizeof buffer;
    ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, buffer, &size), ERROR_SUCCESS);
    ASSERT_EQ(size, c.size);
    if (c.size > 0) {
      EXPECT_EQ(std::memcmp(buffer, c.data, c.size), 0);
    }
  }
  DWORD order = 0, size = sizeof order, type = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"Order", nullptr, &type, reinterpret_cast<BYTE*>(&order), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(order, 2u);
  // Neither buffer nor size: only whether the value exists.
  EXPECT_EQ(RegQueryValueExW(key, u"Order", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryCalls, BufferTooSmallWritesNothingAndTellsTheSize) {
  HKEY key = Create(u"Drivers\\BuiltIn\\FWLFMD");
  const char16_t dll[] = u"flashdisk.dll";
  ASSERT_EQ(SetBytes(key, u"Dll", REG_SZ, dll, sizeof dll), ERROR_SUCCESS);
  constexpr BYTE kGuard = 0xAA;
  BYTE buffer[64];
  std::memset(buffer, kGuard, sizeof buffer);
  DWORD type = 0, size = 10;
  EXPECT_EQ(RegQueryValueExW(key, u"Dll", nullptr, &type, buffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, sizeof dll);
  EXPECT_EQ(type, REG_SZ);
  for (BYTE b : buffer) ASSERT_EQ(b, kGuard);

  size = sizeof dll;  // exactly enough
  ASSERT_EQ(RegQueryValueExW(key, u"Dll", nullptr, &type, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer, dll, sizeof dll), 0);
  for (size_t i = sizeof dll; i < sizeof buffer; i++) ASSERT_EQ(buffer[i], kGuard) << i;
  RegCloseKey(key);
}

TEST_F(RegistryCalls, MissingDefaultAndDeletedValues) {
  HKEY key = Create(u"System\\StorageManager");
  DWORD size = 4, value = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"PNPUnloadDelay", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key, u"PNPUnloadDelay"), ERROR_FILE_NOT_FOUND);
  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"System\\Nope", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);

  // A null name and an empty name are both the default value.
  ASSERT_EQ(SetDword(key, nullptr, 7), ERROR_SUCCESS);
  size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(key, u"", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, 7u);
  ASSERT_EQ(SetDword(key, u"PNPUnloadDelay", 5000), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"PNPUnloadDelay", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS)
      << "deleting the default value leaves the others";
  RegCloseKey(key);
}

TEST_F(RegistryCalls, KeysAndValueNamesIgnoreCase) {
  HKEY key = Create(u"Drivers\\BuiltIn\\StrataFMD");
  ASSERT_EQ(SetDword(key, u"MemBase", 0x01480000), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS\\builtin\\stratafmd", 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  ASSERT_EQ(RegQueryValueExW(key, u"MEMBASE", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(value, 0x01480000u);
  ASSERT_EQ(SetDword(key, u"membase", 1), ERROR_SUCCESS);  // the same value, not a second one
  RegCloseKey(key);

  std::string text, error;
  ASSERT_TRUE(ReadWholeFile(ModuleRegistryPath(dir_), &text, &error)) << error;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\StrataFMD]\n\"MemBase\"=dword:00000001\n"),
            std::string::npos)
      << text;
}

TEST_F(RegistryCalls, CreateMakesParentsAndReportsDisposition) {
  DWORD disposition = 0;
  HKEY deep = Create(u"A\\B\\C", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  for (LPCWSTR parent : {u"A", u"A\\B"}) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, parent, 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
  }
  HKEY again = Create(u"a\\b\\c", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  HKEY below = Create(u"D", &disposition, deep);  // relative to an open key
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  HKEY check = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A\\B\\C\\D", 0, KEY_READ, &check), ERROR_SUCCESS);

  WCHAR name[8];
  DWORD chars = 8;
  ASSERT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_TRUE(std::u16string(name) == u"A");
  EXPECT_EQ(chars, 1u);
  chars = 8;
  EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
            ERROR_NO_MORE_ITEMS);
  HKEY longer = Create(u"LongSubkeyName", nullptr, deep);
  chars = 1;
  EXPECT_EQ(RegEnumKeyExW(deep, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);

  for (HKEY k : {deep, again, below, check, longer}) EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryCalls, BadHandlesAndArgumentsAreRefused) {
  BYTE buffer[4];
  DWORD size = sizeof buffer;
  HKEY forged = reinterpret_cast<HKEY>(uintptr_t{0x1234});
  EXPECT_EQ(RegQueryValueExW(forged, u"x", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(nullptr, u"x", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExW(forged, u"x", 0, REG_BINARY, buffer, 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(forged), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegFlushKey(forged), ERROR_INVALID_HANDLE);
  HKEY key = Create(u"K");
  ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "a closed handle stays dead";
  EXPECT_EQ(RegDeleteValueW(key, u"x"), ERROR_INVALID_HANDLE);

  DWORD reserved = 0;
  EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", &reserved, nullptr, nullptr, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, u"x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"K", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  std::u16string tooLong(300, u'k');
  HKEY out = nullptr;
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, tooLong.c_str(), 0, nullptr, 0, 0, nullptr, &out, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"line\nbreak", 0, nullptr, 0, 0, nullptr, &out, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_INVALID_PARAMETER);
}

// Another process (here: this one, through the file) deletes a key while a
// handle to it is open; the handle then fails cleanly.
TEST_F(RegistryCalls, KeyDeletedElsewhereFailsCleanly) {
  HKEY key = Create(u"Drivers\\BuiltIn\\FWLFMD");
  HKEY sibling = Create(u"Drivers\\BuiltInX");
  ASSERT_EQ(SetDword(key, u"Order", 0), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"drivers\\builtin"), ERROR_SUCCESS);
  EXPECT_EQ(SetDword(sibling, u"Kept", 1), ERROR_SUCCESS) << "a sibling sharing the name's start stays";
  EXPECT_EQ(RegCloseKey(sibling), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"drivers\\builtin"), ERROR_FILE_NOT_FOUND);
  BYTE buffer[4];
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExW(key, u"Order", nullptr, nullptr, buffer, &size), ERROR_BADKEY);
  EXPECT_EQ(SetDword(key, u"Order", 1), ERROR_BADKEY);
  EXPECT_EQ(RegDeleteValueW(key, u"Order"), ERROR_BADKEY);
  HKEY sub = nullptr;
  EXPECT_EQ(RegOpenKeyExW(key, u"X", 0, KEY_READ, &sub), ERROR_BADKEY);
  EXPECT_EQ(RegCreateKeyExW(key, u"X", 0, nullptr, 0, 0, nullptr, &sub, nullptr), ERROR_BADKEY);
  EXPECT_EQ(sub, nullptr);
  HKEY parent = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, KEY_READ, &parent), ERROR_SUCCESS)
      << "the parent of the deleted key stays";
  EXPECT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryCalls, MalformedRegistryFileIsAnError) {
  std::string error;
  ASSERT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir_), "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:zz\n", &error));
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, KEY_READ, &key), ERROR_BADDB);
  EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
  EXPECT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"x", 1), ERROR_BADDB);
  EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_BADDB);
  EXPECT_NE(debug_.find("registry.reg: line 2"), std::string::npos) << debug_;
  std::string text;
  ASSERT_TRUE(ReadWholeFile(ModuleRegistryPath(dir_), &text, &error));
  EXPECT_EQ(text, "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:zz\n") << "a failed update must not rewrite the file";
}

// A process keeps the registry text it parsed last: a rewrite of the same
// size within the same clock tick must still be seen at once.
TEST_F(RegistryCalls, EveryRewriteIsSeenAtOnce) {
  for (DWORD value = 0; value < 20; value++) {
    ASSERT_EQ(SetDword(HKEY_LOCAL_MACHINE, u"x", value), ERROR_SUCCESS);
    DWORD read = 0xFFFFFFFF;
    DWORD size = sizeof read;
    ASSERT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(read, value);
  }
}

// Two processes set different values of one key at the same time; each
// update re-reads the file under the lock, so none is lost. A handle opened
// before the children ran sees their values.
TEST_F(RegistryCalls, ConcurrentProcessesLoseNoUpdate) {
  constexpr int kWriters = 2;
  constexpr DWORD kValuesEach = 40;
  HKEY key = Create(u"Shared");
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; w++) {
    children[w] = ::fork();
    ASSERT_GE(children[w], 0);
    if (children[w] == 0) {
      HKEY mine = nullptr;
      bool ok = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Shared", 0, KEY_ALL_ACCESS, &mine) == ERROR_SUCCESS;
      for (DWORD i = 0; ok && i < kValuesEach; i++) {
        std::u16string name = ValueName(w == 0 ? u"a" : u"b", i);
        ok = SetDword(mine, name.c_str(), i) == ERROR_SUCCESS;
      }
      ::_exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (const char16_t* prefix : {u"a", u"b"}) {
    for (DWORD i = 0; i < kValuesEach; i++) {
      std::u16string name = ValueName(prefix, i);
      DWORD value = 0xFFFFFFFF, size = sizeof value;
      ASSERT_EQ(RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
                ERROR_SUCCESS);
      EXPECT_EQ(value, i);
    }
  }
  RegCloseKey(key);
}
