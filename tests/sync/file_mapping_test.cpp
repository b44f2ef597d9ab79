// Paging-file sections: zero-filled creation, sharing between handles and
// views, and refused arguments.
#include <cstring>

#include "platform/error.h"
#include "platform/file_mapping.h"
#include "platform/handles.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "tests/sync/sync_fixture.h"

namespace {

constexpr DWORD kSize = 3 * kAllocationGranularity + 4;
constexpr const WCHAR* kName = u"NAND_FLASH_BBMT";

HANDLE Section(const WCHAR* name, DWORD size = kSize, DWORD protect = PAGE_READWRITE) {
  return CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, protect, 0, size, name);
}

bool AllZero(const unsigned char* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

TEST_F(SyncTest, NamedSectionIsZeroFilledAndSharedByEveryHandle) {
  HANDLE first = Section(kName);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  auto* whole = static_cast<unsigned char*>(MapViewOfFile(first, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(whole, nullptr);
  EXPECT_TRUE(AllZero(whole, kSize));
  whole[kAllocationGranularity] = 0xA5;
  whole[kSize - 1] = 0x5A;

  // A later opener asking for another size gets the existing section.
  HANDLE second = Section(kName, 1, PAGE_READWRITE | SEC_COMMIT);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(CloseHandle(first));  // the view outlives the handle
  auto* part = static_cast<unsigned char*>(MapViewOfFile(second, FILE_MAP_READ, 0, kAllocationGranularity, 0));
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(part[0], 0xA5);
  EXPECT_EQ(part[kSize - kAllocationGranularity - 1], 0x5A);
  whole[kSize - 1] = 0x11;
  EXPECT_EQ(part[kSize - kAllocationGranularity - 1], 0x11);

  EXPECT_TRUE(UnmapViewOfFile(part));
  EXPECT_FALSE(UnmapViewOfFile(part));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_TRUE(UnmapViewOfFile(whole));
  CloseHandle(second);
}

TEST_F(SyncTest, UnnamedSectionsAreSeparateButTheirViewsAlias) {
  HANDLE a = Section(nullptr);
  HANDLE b = Section(u"");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  auto* a1 = static_cast<char*>(MapViewOfFile(a, FILE_MAP_WRITE, 0, 0, 0));
  auto* a2 = static_cast<char*>(MapViewOfFile(a, FILE_MAP_READ, 0, 0, kSize));
  auto* b1 = static_cast<char*>(MapViewOfFile(b, FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(a1 && a2 && b1);
  std::strcpy(a1, "alias");
  EXPECT_STREQ(a2, "alias");
  EXPECT_EQ(b1[0], 0);
  CloseHandle(a);
  CloseHandle(b);
  SyncResetForTests();  // unmaps what is left
  EXPECT_FALSE(UnmapViewOfFile(a1));
}

TEST_F(SyncTest, ViewsStayInsideTheirSectionAndItsRights) {
  HANDLE section = Section(kName);
  ASSERT_NE(section, nullptr);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 1, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, kAllocationGranularity, kSize), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 4 * kAllocationGranularity, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(section);
  HANDLE readOnly = Section(nullptr, kSize, PAGE_READONLY);
  ASSERT_NE(readOnly, nullptr);
  EXPECT_EQ(MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(readOnly);
  PlatformDetachModule();
  EXPECT_EQ(Section(kName), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}
