#include "flash/bsp.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "module/board_support.h"
#include "module/registry_persist.h"
#include "module/registry_store.h"
#include "platform/debug.h"
#include "platform/error.h"
#include "tests/hardware/hardware_fixture.h"

namespace {

constexpr char16_t kScratchKey[] = u"Software\\RestartProbe";

std::string ReadEvents(const std::string& dir) {
  std::ifstream in(dir + "/events.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class BspTest : public HardwareTest {
 protected:
  uint32_t Word(const uint8_t* bytes, size_t index) {
    uint32_t w = 0;
    std::memcpy(&w, bytes + 4 * index, sizeof w);
    return w;
  }

  // A change to the live registry that only a reload from the persistent copy undoes.
  void AddScratchKey() {
    std::string error;
    auto add = [](RegistryData* data, void*) {
      bool created = false;
      return RegistryCreateKey(data, kScratchKey, &created) != nullptr;
    };
    ASSERT_TRUE(RegistryUpdateLive(dir_, add, nullptr, &error)) << error;
    ASSERT_TRUE(ScratchKeyLive());
  }
  bool ScratchKeyLive() {
    RegistryData data;
    std::string error;
    EXPECT_TRUE(RegistryLoadLive(dir_, &data, &error)) << error;
    return RegistryKeyExists(data, kScratchKey);
  }
  bool PersistentRegistryFound() {
    std::string error, text;
    bool found = false;
    const ModuleFlash* flash = PlatformModuleFlash(&error);
    EXPECT_NE(flash, nullptr) << error;
    EXPECT_TRUE(RegistryPersistRead(*PlatformModule(), *flash, &text, &found, &error)) << error;
    return found;
  }
};

using BspDeathTest = BspTest;

TEST_F(BspTest, ItemsComeFromTheBoard) {
  SetModuleSetting(dir_, "bsp.item0", "0x1122334455667788");
  SetModuleSetting(dir_, "bsp.item12", "0xDEADBEEF");
  uint8_t buf[32];

  std::memset(buf, 0xEE, sizeof buf);
  ASSERT_EQ(BspGetInfo(BSP_INFO_CONFIG_0, buf, sizeof buf), BSP_CONFIG_0_BYTES);
  uint64_t item0 = 0;
  std::memcpy(&item0, buf, sizeof item0);
  EXPECT_EQ(item0, 0x1122334455667788u);
  EXPECT_EQ(buf[8], 0xEE);  // nothing past the item

  ASSERT_EQ(BspGetInfo(BSP_INFO_FLASH_LAYOUT, buf, BSP_FLASH_LAYOUT_BYTES), BSP_FLASH_LAYOUT_BYTES);
  BspFlashLayout layout;
  std::memcpy(&layout, buf, sizeof layout);
  EXPECT_EQ(layout.osImageBase, 0x00080000u);
  EXPECT_EQ(layout.registryBase, 0x01400000u);
  EXPECT_EQ(layout.registryHalf, 0x00040000u);
  EXPECT_EQ(layout.secondBootloaderBase, 0u);
  EXPECT_EQ(layout.unused[0] | layout.unused[1], 0u);

  // The main dialog asks for the first 8 bytes only and looks at the unit at byte 6.
  std::memset(buf, 0, sizeof buf);
  ASSERT_EQ(BspGetInfo(BSP_INFO_FLASH_LAYOUT, buf, 8), 8u);
  uint16_t unit6 = 0;
  std::memcpy(&unit6, buf + 6, sizeof unit6);
  EXPECT_EQ(unit6, 0x0140);
  EXPECT_EQ(Word(buf, 2), 0u);

  ASSERT_EQ(BspGetInfo(BSP_INFO_HW_VERSION, buf, BSP_HW_VERSION_BYTES), BSP_HW_VERSION_BYTES);
  EXPECT_EQ(Word(buf, 0), 1u | 2u << BSP_HW_VERSION_MINOR_SHIFT);
  EXPECT_EQ(Word(buf, 1), 0u);

  ASSERT_EQ(BspGetInfo(BSP_INFO_CONFIG_12, buf, BSP_CONFIG_12_BYTES), BSP_CONFIG_12_BYTES);
  EXPECT_EQ(Word(buf, 0), 0xDEADBEEFu);

  EXPECT_EQ(BspGetInfo(3, buf, sizeof buf), 0u);
  EXPECT_EQ(BspGetInfo(BSP_INFO_CONFIG_0, nullptr, 8), 0u);
}

TEST_F(BspTest, ItemsListedAsFaultyDeliverNothing) {
  SetModuleSetting(dir_, "faults.bsp_no_items", "5, 8");
  uint8_t buf[24];
  std::memset(buf, 0xEE, sizeof buf);
  DWORD delivered = 99;
  BspInfoRecord record{BSP_INFO_FLASH_LAYOUT, buf, sizeof buf};
  EXPECT_FALSE(KernelIoControl(BSP_GET_INFO, &record, sizeof record, buf, sizeof buf, &delivered));
  EXPECT_EQ(delivered, 0u);
  EXPECT_EQ(buf[0], 0xEE);  // the caller's defaults stay
  EXPECT_EQ(BspGetInfo(BSP_INFO_HW_VERSION, buf, 8), 0u);
  EXPECT_EQ(BspGetInfo(BSP_INFO_CONFIG_12, buf, 4), 4u);

  // A list that is not made of numbers is not quietly taken as no fault.
  SetModuleSetting(dir_, "faults.bsp_no_items", "five");
  EXPECT_EQ(BspGetInfo(BSP_INFO_CONFIG_12, buf, 4), 0u);
}

TEST_F(BspTest, StoredItemsPersistInTheModule) {
  const uint64_t item0 = 0x0102030405060708;
  const uint32_t hw[2] = {3u | 9u << 16, 0};
  const uint32_t item12 = 0xA5A5A5A5;
  ASSERT_TRUE(BspSetInfo(BSP_INFO_CONFIG_0, &item0, sizeof item0));
  ASSERT_TRUE(BspSetInfo(BSP_INFO_HW_VERSION, hw, sizeof hw));
  ASSERT_TRUE(BspSetInfo(BSP_INFO_CONFIG_12, &item12, sizeof item12));

  ModuleConfig saved = ReadModuleConfig(dir_);
  EXPECT_EQ(saved.bspItem0, item0);
  EXPECT_EQ(saved.hwVersionMajor, 3u);
  EXPECT_EQ(saved.hwVersionMinor, 9u);
  EXPECT_EQ(saved.bspItem12, item12);
  uint32_t back[2] = {};
  ASSERT_EQ(BspGetInfo(BSP_INFO_HW_VERSION, back, sizeof back), 8u);
  EXPECT_EQ(back[0], hw[0]);

  // The layout is the board's own, and an item needs all its bytes.
  uint8_t layout[24] = {};
  std::string debug;
  DebugSetCaptureSink(&debug);
  EXPECT_FALSE(BspSetInfo(BSP_INFO_FLASH_LAYOUT, layout, sizeof layout));
  EXPECT_FALSE(BspSetInfo(BSP_INFO_CONFIG_0, &item12, sizeof item12));
  DebugReset();
  EXPECT_NE(debug.find("item 5 cannot be stored"), std::string::npos) << debug;
  EXPECT_NE(debug.find("item 0 needs 8 bytes"), std::string::npos) << debug;
  EXPECT_EQ(ReadModuleConfig(dir_).layoutOsImageBase, 0x00080000u);
  EXPECT_EQ(ReadModuleConfig(dir_).bspItem0, item0);
}

TEST_F(BspTest, ImageVersionIsFilledWithoutAnOutputSize) {
  SetModuleSetting(dir_, "bsp.image_build", "12");
  ImageVersion version{};
  ASSERT_TRUE(BspGetImageVersion(&version));
  EXPECT_EQ(version.family, 1u);
  EXPECT_EQ(version.major, 3u);
  EXPECT_EQ(version.minorBuild, 7u | 12u << 16);

  ImageVersion untouched{9, 9, 9};
  EXPECT_FALSE(KernelIoControl(BSP_GET_IMAGE_VERSION, nullptr, 0, &untouched, 4, nullptr));
  EXPECT_EQ(untouched.family, 9u);
}

TEST_F(BspTest, RegistryClearInvalidatesBothHalves) {
  ASSERT_TRUE(PersistentRegistryFound());
  ASSERT_TRUE(BspClearRegistry());
  EXPECT_FALSE(PersistentRegistryFound());
  std::ifstream flash(ModuleFlashPath(dir_), std::ios::binary);
  for (uint32_t half : {0x01400000u, 0x01440000u}) {
    uint32_t marker = 0;
    flash.seekg(half);
    flash.read(reinterpret_cast<char*>(&marker), sizeof marker);
    EXPECT_NE(marker, kRegistryHalfMarker) << std::hex << half;
  }
}

TEST_F(BspTest, MalformedRequestsFailWithoutEffect) {
  uint8_t buf[8];
  BspInfoRecord record{BSP_INFO_CONFIG_0, buf, sizeof buf};
  EXPECT_FALSE(KernelIoControl(BSP_GET_INFO, &record, 12, buf, sizeof buf, nullptr));  // a 32-bit record
  EXPECT_FALSE(KernelIoControl(BSP_GET_INFO, nullptr, sizeof record, buf, sizeof buf, nullptr));
  const DWORD notCold = 1;
  EXPECT_FALSE(KernelIoControl(IOCTL_HAL_REBOOT, const_cast<DWORD*>(&notCold), sizeof notCold, nullptr, 0, nullptr));
  EXPECT_FALSE(KernelIoControl(0x01012FFC, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(ReadEvents(dir_), "");

  const DWORD badRequest = 7;
  DWORD out = 0;
  EXPECT_FALSE(KernelIoControl(IOCTL_KERNEL_REQUEST, const_cast<DWORD*>(&badRequest), 4, &out, 4, nullptr));
  KernelCallRecord call{KERNEL_REQUEST_CALL, nullptr, 0};
  EXPECT_FALSE(KernelIoControl(IOCTL_KERNEL_REQUEST, &call, sizeof call, &out, 4, nullptr));
  KernelQueryRecord query{KERNEL_REQUEST_QUERY};
  uint8_t small[100];
  EXPECT_FALSE(KernelIoControl(IOCTL_KERNEL_REQUEST, &query, sizeof query, small, sizeof small, nullptr));
}

TEST_F(BspTest, BoardQueryNamesTheBoardInsideItsBuffer) {
  char info[KERNEL_BOARD_INFO_BYTES + 1];
  std::memset(info, 0x7F, sizeof info);
  KernelQueryRecord query{KERNEL_REQUEST_QUERY};
  DWORD returned = 0;
  ASSERT_TRUE(KernelIoControl(IOCTL_KERNEL_REQUEST, &query, sizeof query, info, KERNEL_BOARD_INFO_BYTES, &returned));
  EXPECT_EQ(returned, KERNEL_BOARD_INFO_BYTES);
  EXPECT_EQ(info[KERNEL_BOARD_INFO_BYTES], 0x7F);
  std::string text(info);
  EXPECT_NE(text.find("board=nor"), std::string::npos) << text;
  EXPECT_NE(text.find("cpu_main_id=0x69054117"), std::string::npos) << text;
  EXPECT_NE(text.find("device=nor 0x00000000 0x02000000"), std::string::npos) << text;
}

TEST_F(BspDeathTest, WarmRestartReloadsTheRegistryAndEndsTheProcess) {
  AddScratchKey();
  EXPECT_EXIT(BspReboot(false), ::testing::ExitedWithCode(kModuleRestartExitStatus), "module restarted \\(warm\\)");
  std::string events = ReadEvents(dir_);
  EXPECT_NE(events.find("warm restart: registry from flash"), std::string::npos) << events;
  EXPECT_EQ(events.find("clean boot"), std::string::npos) << events;
  EXPECT_FALSE(ScratchKeyLive());
}

TEST_F(BspDeathTest, ColdRestartAfterAClearedRegistryBringsTheFactoryRegistry) {
  AddScratchKey();
  ASSERT_TRUE(BspClearRegistry());
  EXPECT_EXIT(BspReboot(true), ::testing::ExitedWithCode(kModuleRestartExitStatus), "module restarted \\(cold\\)");
  std::string events = ReadEvents(dir_);
  EXPECT_NE(events.find("cold restart (clean boot requested): factory registry"), std::string::npos) << events;
  EXPECT_FALSE(ScratchKeyLive());
}

TEST_F(BspTest, ARestartThatReturnsIsRecordedAndChangesNothing) {
  SetModuleSetting(dir_, "faults.restart_returns", "true");
  AddScratchKey();
  std::string debug;
  DebugSetCaptureSink(&debug);
  BspReboot(false);
  BspReboot(true);
  DebugReset();
  EXPECT_NE(debug.find("did not restart (faults.restart_returns)"), std::string::npos) << debug;
  std::string events = ReadEvents(dir_);
  EXPECT_NE(events.find("warm restart: the module did not restart"), std::string::npos) << events;
  EXPECT_NE(events.find("cold restart (clean boot requested): the module did not restart"), std::string::npos)
      << events;
  EXPECT_TRUE(ScratchKeyLive());
}

}  // namespace
