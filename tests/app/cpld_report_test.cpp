// The CPLDVersion report's questions and texts through the recording window
// system, watched on the module's bus.
#include <gtest/gtest.h>

#include "app/cpld_report.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "tests/app/shell_fixture.h"
#include "tests/support/jtag_trace.h"
#include "tests/support/temp_module.h"

namespace {

constexpr const char* kWarning =
    "WARNING: To read the CPLD Version the SODIMM pins 88, 90 and 92 have to be unconnected (not driven)\ne.g. like "
    "on the Valmora EvalBoard.\nDo you want to continue? (308)";

class CpldReport : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetShellForTests();
    ClockSkipSleepsForTests(true);
  }
  void TearDown() override {
    ClockSkipSleepsForTests(false);
    ResetShellForTests();
    PlatformDetachModule();
  }
  // The messages shown with `answer` to the warning, and whether a pin was touched.
  std::vector<std::string> Report(int answer, const std::vector<std::string>& settings, bool* touched) {
    EXPECT_FALSE(AttachTempModuleWith(settings, "nand").empty());
    RecordingAnswer(answer);
    StartBusTrace();
    ShowCpldVersion(nullptr);
    *touched = !PinAccesses(TakeBusTrace()).empty();
    return RecordedMessages();
  }
};

TEST_F(CpldReport, NoTouchesNothing) {
  bool touched = true;
  EXPECT_EQ(Report(IDNO, {}, &touched), (std::vector<std::string>{kWarning}));
  EXPECT_FALSE(touched);
}

// The version word: major in the top half, minor in the low byte, a beta
// build in the byte between.
TEST_F(CpldReport, VersionWordAsShown) {
  bool touched = false;
  EXPECT_EQ(Report(IDYES, {"cpld.usercode=0x00020305"}, &touched),
            (std::vector<std::string>{kWarning, "CPLD Version: CPLD Ver:\t2.5 BETA, Build 3\r\n (0)"}));
  EXPECT_TRUE(touched);
  ResetShellForTests();
  PlatformDetachModule();
  EXPECT_EQ(Report(IDYES, {"cpld.usercode=0x00020005"}, &touched),
            (std::vector<std::string>{kWarning, "CPLD Version: CPLD Ver:\t2.5 \r\n (0)"}));
}

}  // namespace
