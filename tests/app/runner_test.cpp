#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "app/resources.h"
#include "app/runner.h"
#include "app/shell_state.h"
#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/library_state.h"
#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui/recording.h"
#include "platform/ui/ui_backend.h"
#include "tests/app/shell_fixture.h"
#include "tests/support/temp_module.h"

namespace {

constexpr UINT kErrorStyle = 0x10;

class Runner : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }
  void TearDown() override {
    Reset();
    PlatformDetachModule();
  }
  static void Reset() { ResetShellForTests(); }

  int Run(const std::u16string& line) {
    std::u16string buffer = line;
    ParseCommandLine(buffer.data());
    return RunCommands(nullptr);
  }

  static std::vector<RecordedEvent> Events(RecordedKind kind) { return RecordedOfKind(kind); }

  static std::vector<std::string> Messages() { return RecordedMessages(); }

  // The last state recorded for a control of the main dialog (-1: the dialog).
  static std::optional<RecordedEvent> LastChange(int controlId, UiChange change) {
    std::optional<RecordedEvent> last;
    for (const RecordedEvent& e : RecordingEvents()) {
      if (e.kind == RecordedKind::Changed && e.templateId == IDD_MAIN && e.controlId == controlId &&
          e.change == change) {
        last = e;
      }
    }
    return last;
  }
};

std::string Error(const char* text) { return std::string("ERROR: ") + text + " (" + std::to_string(kErrorStyle) + ")"; }

TEST_F(Runner, NoCommandsOpenTheMainDialog) {
  ASSERT_FALSE(AttachTempModule().empty());
  EXPECT_EQ(Run(u""), 1);
  std::vector<RecordedEvent> opened = Events(RecordedKind::DialogOpened);
  ASSERT_EQ(opened.size(), 1u) << RecordingLog();
  EXPECT_EQ(opened[0].templateId, IDD_MAIN);
  std::optional<RecordedEvent> title = LastChange(-1, UiChange::Title);
  ASSERT_TRUE(title.has_value()) << RecordingLog();
  EXPECT_TRUE(title->text == u"Flashwright 3.7.1");
  std::optional<RecordedEvent> cpld = LastChange(IDC_MAIN_CPLD, UiChange::Visible);
  ASSERT_TRUE(cpld.has_value()) << "the NOR module has no CPLD: " << RecordingLog();
  EXPECT_EQ(cpld->value, 0);
  EXPECT_TRUE(Messages().empty()) << RecordingLog();
  EXPECT_EQ(g_shell.mainWindow != nullptr, true);
}

TEST_F(Runner, UnsupportedHardwareStopsBeforeAnyDialog) {
  ASSERT_FALSE(AttachTempModuleWith({"board.cpu_part_code=2", "board.hw_version_minor=1"}).empty());
  EXPECT_EQ(Run(u""), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{Error("Module HW version not supported")});
  EXPECT_TRUE(Events(RecordedKind::DialogOpened).empty());
}

TEST_F(Runner, FlashThatDoesNotComeUpLeavesOnlyTheRegistryAndResetButtons) {
  // A NOR board that reports a PXA3xx part code: the NAND driver finds no
  // controller there, so the flash layer fails.
  ASSERT_FALSE(AttachTempModuleWith({"board.cpu_part_code=2"}).empty());
  EXPECT_EQ(Run(u""), 1);
  EXPECT_EQ(Messages(), std::vector<std::string>{Error("Could not initialize Flash.")});
  for (int id : {IDC_MAIN_UPDATE, IDC_MAIN_BACKUP, IDC_MAIN_VERSION, IDC_MAIN_IMAGE_GROUP}) {
    std::optional<RecordedEvent> enabled = LastChange(id, UiChange::Enabled);
    ASSERT_TRUE(enabled.has_value()) << id << "\n" << RecordingLog();
    EXPECT_EQ(enabled->value, 0) << id;
  }
  EXPECT_FALSE(LastChange(IDC_MAIN_SAVE, UiChange::Enabled).has_value()) << "Save stays as it was";
  EXPECT_FALSE(LastChange(IDC_MAIN_CPLD, UiChange::Visible).has_value()) << "a PXA3xx board may carry a CPLD";
}

TEST_F(Runner, CommandsNeedTheLibrary) {
  ASSERT_FALSE(AttachTempModuleWith({"board.cpu_part_code=2"}).empty());
  EXPECT_EQ(Run(u"/f"), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{Error("Init FwLib failed.")});
  RecordingReset();
  EXPECT_EQ(Run(u"/fu /f"), 0);
  EXPECT_TRUE(Messages().empty()) << "an unattended first command keeps it quiet";
}

TEST_F(Runner, RegistryCommandsReportUnlessUnattended) {
  ASSERT_FALSE(AttachTempModule().empty());
  EXPECT_EQ(Run(u"/f /c"), 1);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Registry: Registry successfully saved (0)",
                                                   "Registry: Registry successfully cleared (0)"}));
  EXPECT_EQ(g_shell.unattendedMode, 0);
  RecordingReset();
  EXPECT_EQ(Run(u"/fu /cu"), 1);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(g_shell.unattendedMode, 1);
}

TEST_F(Runner, AFailingCommandEndsTheRun) {
  std::string dir = AttachTempModule();
  ASSERT_FALSE(dir.empty());
  // The update of a missing file fails, so the save after it never runs.
  EXPECT_EQ(Run(u"/u \\Temp\\NK.BIN /f"), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{Error("Cannot open image file\n\\temp\\nk.bin")});
  EXPECT_EQ(g_shell.currentImagePath[0], u'\0') << "the next update asks for its file again";
}

TEST_F(Runner, ARestartThatComesBackFailsTheRun) {
  std::string dir = AttachTempModuleWith({"faults.restart_returns=true"});
  ASSERT_FALSE(dir.empty());
  ClockSkipSleepsForTests(true);
  uint32_t before = GetTickCount();
  std::string debug;
  DebugSetCaptureSink(&debug);
  EXPECT_EQ(Run(u"/rc500 /f"), 0);
  DebugReset();
  EXPECT_GE(GetTickCount() - before, 500u) << "the cold restart waits first";
  std::string log, error;
  ASSERT_TRUE(ReadWholeFile(dir + "/events.log", &log, &error)) << error;
  EXPECT_NE(log.find("cold restart"), std::string::npos) << log;
  EXPECT_NE(debug.find("did not restart"), std::string::npos) << debug;
  EXPECT_TRUE(Messages().empty()) << "the save after it never runs: " << RecordingLog();
}

TEST_F(Runner, AnOverLongFileNameFailsItsSwitchWithoutAskingForAFile) {
  ASSERT_FALSE(AttachTempModule().empty());
  std::string debug;
  DebugSetCaptureSink(&debug);
  EXPECT_EQ(Run(u"/u " + std::u16string(MAX_PATH, u'a') + u" /f"), 0);
  DebugReset();
  EXPECT_NE(debug.find("File name too long"), std::string::npos) << debug;
  EXPECT_TRUE(RecordingEvents().empty()) << "no file dialog, no message: " << RecordingLog();
}

}  // namespace
