// A module with the program's CPLD layers on it, for tests that watch the
// JTAG wires through the bus trace.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/jtag_trace.h"

class CpldTest : public ::testing::Test {
 protected:
  // Waits in the JTAG code are whole milliseconds; the tests skip them.
  void SetUp() override;
  void TearDown() override;
  // A fresh module of `board` with `settings`, the program's layers reset.
  void Attach(const std::vector<std::string>& settings = {}, const char* board = "nand");
  // As Attach, on a module made once per test program for these settings:
  // for tests that change nothing on it but the CPLD's TAP.
  void AttachShared(const std::vector<std::string>& settings = {}, const char* board = "nand");

  void StartTrace();
  std::vector<BusTraceEntry> Trace();

  std::string dir_;
};
