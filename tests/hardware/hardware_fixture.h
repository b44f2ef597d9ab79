// A fresh NOR module per test with every piece of hardware state reset.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "flash/hardware.h"
#include "module/module_dir.h"
#include "platform/cpu.h"
#include "platform/hardware_link.h"
#include "platform/kernel.h"
#include "platform/memory.h"
#include "platform/platform.h"
#include "tests/support/temp_module.h"

inline void ResetHardwareState() {
  MemoryReset();
  HardwareReset();
  KernelReset();
  CpuReset();
  PlatformHardwareReset();
}

// Changes one module.ini setting and re-attaches, as a new process would see it.
inline void SetModuleSetting(const std::string& dir, const std::string& key, const std::string& value) {
  Module module;
  std::string error;
  ASSERT_TRUE(ModuleOpen(dir, &module, &error)) << error;
  ASSERT_TRUE(ModuleConfigSet(&module.config, key, value, &error)) << error;
  ASSERT_TRUE(ModuleConfigSave(ModuleIniPath(dir), module.config, &error)) << error;
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  PlatformHardwareReset();
}

inline ModuleConfig ReadModuleConfig(const std::string& dir) {
  Module module;
  std::string error;
  EXPECT_TRUE(ModuleOpen(dir, &module, &error)) << error;
  return module.config;
}

class HardwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetHardwareState();
    dir_ = AttachTempModule();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    ResetHardwareState();
    PlatformDetachModule();
  }

  DWORD Requests(DWORD request) const { return KernelRequestCount(request); }

  std::string dir_;
};
