// The module's OS on a NAND board: its registry and flash disk on the
// logical flash, the boot blocks it keeps, and the boot state a restart drops.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "module/board_support.h"
#include "module/registry_persist.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "tests/nandos/nand_cells.h"
#include "tests/support/temp_module.h"

namespace {

constexpr uint32_t kChip = 0xDAEC;
constexpr uint32_t kListPage = 63;
constexpr uint32_t kMapMagic = 0x544D4242;

class NandOs : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = AttachTempModule("nand");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { PlatformDetachModule(); }

  const ModuleFlash& Flash() {
    std::string error;
    const ModuleFlash* flash = PlatformModuleFlash(&error);
    EXPECT_NE(flash, nullptr) << error;
    return *flash;
  }
  void Reattach() {
    std::string error;
    ASSERT_TRUE(PlatformAttachModule(dir_, false, &error)) << error;
  }

  std::string dir_;
};

HANDLE Open(LPCWSTR name, DWORD access, DWORD creation) {
  return CreateFileW(name, access, 0, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

TEST_F(NandOs, TheRegistryFlushedToNandIsWhatTheNextBootLoads) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Test\\Nand", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  DWORD kept = 0x5A5A;
  ASSERT_EQ(RegSetValueExW(key, u"Kept", 0, REG_DWORD, reinterpret_cast<BYTE*>(&kept), sizeof kept), ERROR_SUCCESS);
  ASSERT_EQ(RegFlushKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteValueW(key, u"Kept"), ERROR_SUCCESS);
  RegCloseKey(key);

  Module module;
  std::string error;
  ASSERT_TRUE(ModuleOpen(dir_, &module, &error)) << error;
  bool usedFactory = true;
  ASSERT_TRUE(RegistryPersistReload(module, Flash(), &usedFactory, &error)) << error;
  EXPECT_FALSE(usedFactory);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test\\Nand", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
  DWORD value = 0, size = sizeof value;
  EXPECT_EQ(RegQueryValueExW(key, u"Kept", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
  EXPECT_EQ(value, kept);
  RegCloseKey(key);
  // The second half took the save: logical 0x1440000 is physical block 162.
  NandCells cells(dir_, kChip);
  EXPECT_EQ(cells.Word(162 * 64, 0), kRegistryHalfMarker);
}

TEST_F(NandOs, FilesOnTheFlashDiskOutliveTheProgram) {
  HANDLE file = Open(u"\\Hard Disk\\nand.txt", GENERIC_WRITE, CREATE_NEW);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string text(5000, 'n');
  for (size_t i = 0; i < text.size(); i++) text[i] = static_cast<char>('a' + i % 19);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr));
  CloseHandle(file);

  Reattach();
  file = Open(u"\\Hard Disk\\nand.txt", GENERIC_READ, OPEN_EXISTING);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  std::string back(text.size() + 1, '\0');
  ASSERT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &done, nullptr));
  CloseHandle(file);
  back.resize(done);
  EXPECT_EQ(back, text);
}

TEST_F(NandOs, ErasingLogicalBlockZeroKeepsTheListPage) {
  NandCells cells(dir_, kChip);
  std::vector<uint8_t> list = cells.Data(kListPage);
  ASSERT_TRUE(ModuleFlashErase(Flash(), 0, 1));
  EXPECT_EQ(cells.Data(kListPage), list);
  EXPECT_EQ(cells.Data(0), std::vector<uint8_t>(2048, 0xFF));
  EXPECT_EQ(cells.Data(62), std::vector<uint8_t>(2048, 0xFF));
}

TEST_F(NandOs, ARestartDropsTheBootStateAndTheNextStartBuildsItAgain) {
  ASSERT_EQ(MapMagic(SharedMapBytes(dir_)), kMapMagic);
  ASSERT_TRUE(std::filesystem::exists(dir_ + "/shm/nand-controller"));
  const ModuleFlash& flash = Flash();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::string error;
    BoardRestart(dir_, flash, false, false, &error);
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kModuleRestartExitStatus) << status;
  EXPECT_EQ(MapMagic(SharedMapBytes(dir_)), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/shm/nand-controller"));
  // The restarting module read its registry the way its boot does.
  std::ifstream log(BoardEventsLogPath(dir_));
  std::string line;
  std::getline(log, line);
  EXPECT_NE(line.find("warm restart: registry from flash"), std::string::npos) << line;

  Reattach();
  std::vector<uint8_t> map = SharedMapBytes(dir_);
  EXPECT_EQ(MapMagic(map), kMapMagic);
  EXPECT_EQ(MapEntry(map, 613), 2047u);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/shm/nand-controller"));
}

TEST_F(NandOs, WithoutItsDriverTheOsReachesNoFlashUntilAProgramBuildsTheMap) {
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {"nand.os_driver=false"}));
  std::filesystem::remove(dir_ + "/shm/NAND_FLASH_BBMT");
  Reattach();
  EXPECT_EQ(MapMagic(SharedMapBytes(dir_)), 0u);
  uint8_t word[4];
  EXPECT_FALSE(ModuleFlashRead(Flash(), 0, word, sizeof word));
}

struct FlushFault {
  const char* name;
  const char* setting;  // a fault on physical block 162, where the second registry half starts
  bool flushed;
};

class NandOsFaults : public NandOs, public testing::WithParamInterface<FlushFault> {};

// A block whose erase fails moves into the reserve, recorded in the list and
// the map, and the flush goes on there; a failed program fails the flush and
// the older copy stays the current one.
TEST_P(NandOsFaults, AFailingBlockIsMovedOrTheFlushFails) {
  PlatformDetachModule();
  ASSERT_TRUE(ConfigureModule(dir_, {GetParam().setting}));
  Reattach();
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Test\\Worn", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(key) == ERROR_SUCCESS, GetParam().flushed);
  RegCloseKey(key);

  NandCells cells(dir_, kChip);
  std::vector<uint8_t> map = SharedMapBytes(dir_);
  Module module;
  std::string error, text;
  bool found = false;
  ASSERT_TRUE(ModuleOpen(dir_, &module, &error)) << error;
  ASSERT_TRUE(RegistryPersistRead(module, Flash(), &text, &found, &error)) << error;
  EXPECT_EQ(text.find("Test\\Worn") != std::string::npos, GetParam().flushed);
  if (GetParam().flushed) {
    EXPECT_EQ(cells.Word(kListPage, 12), 162u | 2045u << 16);
    EXPECT_EQ(MapEntry(map, 162), 2045u);
    EXPECT_EQ(cells.Word(2045 * 64, 0), kRegistryHalfMarker);
  } else {
    EXPECT_EQ(cells.Word(kListPage, 12) & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(MapEntry(map, 162), 162u);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, NandOsFaults,
                         testing::Values(FlushFault{"EraseFails", "faults.nand_erase_fail=162", true},
                                         FlushFault{"ProgramFails", "faults.nand_program_fail=162", false}),
                         [](const testing::TestParamInfo<FlushFault>& info) { return std::string(info.param.name); });
