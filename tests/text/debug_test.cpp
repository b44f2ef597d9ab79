#include <gtest/gtest.h>

#include <string>

#include "platform/debug.h"

namespace {

class DebugOutput : public ::testing::Test {
 protected:
  void SetUp() override { DebugReset(); }
  void TearDown() override { DebugReset(); }
};

TEST_F(DebugOutput, CapturedTextIsExactUtf8WithNothingAdded) {
  std::string captured;
  DebugSetCaptureSink(&captured);
  OutputDebugStringW(u"WARNING: Flashwright.exe: Unknown Command parameter: x\n\r");
  OutputDebugStringW(nullptr);
  OutputDebugStringW(u"\u00e9\u20ac");
  EXPECT_EQ("WARNING: Flashwright.exe: Unknown Command parameter: x\n\r\xC3\xA9\xE2\x82\xAC", captured);
}

TEST_F(DebugOutput, GoesToStandardErrorWithoutASink) {
  testing::internal::CaptureStderr();
  OutputDebugStringW(u"line\n\r");
  EXPECT_EQ("line\n\r", testing::internal::GetCapturedStderr());
}

}  // namespace
