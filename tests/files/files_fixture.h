// A fresh module per test, with host-side helpers to set up and inspect its
// object store behind the platform's back.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "module/module_dir.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "tests/support/temp_module.h"

// What a call left as its last error when it failed, kSucceeded when it did
// not fail; a handle it returned is closed.
constexpr DWORD kSucceeded = 0xFFFFFFFF;
inline DWORD Fails(BOOL ok) { return ok ? kSucceeded : GetLastError(); }
inline DWORD Fails(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(handle);
  return kSucceeded;
}

inline HANDLE Open(LPCWSTR name, DWORD access, DWORD creation, DWORD share = 0, DWORD attributes = 0) {
  return CreateFileW(name, access, share, nullptr, creation, attributes, nullptr);
}

inline std::string Shown(LPCWSTR text) { return std::filesystem::path(std::u16string(text)).string(); }

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FilesReset();
    handlesBefore_ = HandleCount();
    moduleDir_ = AttachTempModule();
    ASSERT_FALSE(moduleDir_.empty());
  }
  void TearDown() override {
    EXPECT_EQ(HandleCount(), handlesBefore_) << "a test leaked handles";
    PlatformDetachModule();
    FilesReset();
    std::error_code ec;
    std::filesystem::remove_all(moduleDir_, ec);
  }

  std::string Host(const std::string& relative) const { return ModuleRootPath(moduleDir_) + "/" + relative; }

  static void HostWrite(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string HostRead(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
  }
  static bool HostExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  // The whole content of a module file, or "<error N>".
  static std::string ModuleRead(LPCWSTR name) {
    HANDLE file = Open(name, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    if (file == INVALID_HANDLE_VALUE) return "<error " + std::to_string(GetLastError()) + ">";
    std::string content;
    char buffer[64];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) content.append(buffer, got);
    CloseHandle(file);
    return content;
  }
  static bool ModuleWrite(HANDLE file, const std::string& content) {
    DWORD done = 0;
    return WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &done, nullptr) &&
           done == content.size();
  }

  std::string moduleDir_;
  size_t handlesBefore_ = 0;
};
