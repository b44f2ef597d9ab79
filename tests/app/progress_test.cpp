#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/progress.h"
#include "app/resources.h"
#include "app/shell_state.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "platform/ui/recording.h"
#include "platform/ui/ui_backend.h"

namespace {

constexpr uint32_t kMiB = 1024 * 1024;
// Long enough for the busy animation to take a few of its 500 ms steps.
constexpr DWORD kAnimationWatchMs = 1200;
constexpr DWORD kAnimationEndMs = 700;

class Progress : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    ASSERT_EQ(OpenProgress(nullptr, u"Image Update"), 1) << RecordingLog();
  }
  void TearDown() override { Reset(); }
  static void Reset() {
    ProgressResetForTests();
    ShellStateResetForTests();
    ClockSkipSleepsForTests(false);
    UiSelectBackend(UiBackendKind::Recording);
    RecordingReset();
    RecordingSetTimings(20, 10000);
    RegisterShellTemplates(nullptr);
  }

  static std::vector<RecordedEvent> Changes(int controlId, UiChange change) {
    std::vector<RecordedEvent> found;
    for (const RecordedEvent& e : RecordingEvents()) {
      if (e.kind == RecordedKind::Changed && e.templateId == IDD_PROGRESS && e.controlId == controlId &&
          e.change == change) {
        found.push_back(e);
      }
    }
    return found;
  }
  static std::vector<std::string> Texts(int controlId) {
    std::vector<std::string> texts;
    for (const RecordedEvent& e : Changes(controlId, UiChange::Text)) texts.push_back(Utf16ToUtf8(e.text));
    return texts;
  }
  static std::string LastText(int controlId) {
    std::vector<std::string> texts = Texts(controlId);
    return texts.empty() ? "<none>" : texts.back();
  }
  static intptr_t LastValue(int controlId, UiChange change) {
    std::vector<RecordedEvent> found = Changes(controlId, change);
    return found.empty() ? -1 : found.back().value;
  }
  static bool Seen(int controlId, UiChange change, intptr_t value) {
    for (const RecordedEvent& e : Changes(controlId, change)) {
      if (e.value == value) return true;
    }
    return false;
  }
};

TEST_F(Progress, WindowCarriesTheFlowTitleAndOutlastsEscape) {
  std::vector<RecordedEvent> title = Changes(-1, UiChange::Title);
  ASSERT_FALSE(title.empty()) << RecordingLog();
  EXPECT_TRUE(title.back().text == u"Image Update");
  // The idle window is sent Escape by the recording system; it must stay.
  Sleep(200);
  EXPECT_NE(ProgressWindow(), nullptr);
  EXPECT_EQ(RecordingClosedCount(IDD_PROGRESS), 0) << RecordingLog();
  EXPECT_NE(RecordingLog().find("script ended"), std::string::npos) << RecordingLog();
  EXPECT_EQ(CloseProgress(), 1);
  EXPECT_EQ(ProgressWindow(), nullptr);
  EXPECT_EQ(RecordingClosedCount(IDD_PROGRESS), 1);
  // A second flow gets a fresh window.
  EXPECT_EQ(OpenProgress(nullptr, u"Image Backup"), 1);
  EXPECT_TRUE(Changes(-1, UiChange::Title).back().text == u"Image Backup");
}

TEST_F(Progress, ValidationBarsCountKibAndPercentagesFitIn32Bits) {
  OnValidateProgress(0, 1000);
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressRange), 1);
  OnValidateProgress(0, 5 * kMiB);
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressRange), 5120);
  OnValidateProgress(3 * kMiB, 5 * kMiB);
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos), 3072);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Validating File 60%");
  OnValidateProgress(0, 100000000);
  OnValidateProgress(50000000, 100000000);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Validating File 50%");
  OnValidateProgress(0, 0xFFFFFFFFu);
  OnValidateProgress(0xC0000000u, 0xFFFFFFFFu);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Validating File 75%");
}

TEST_F(Progress, ValidationTextChangesOnlyAtSixteenths) {
  constexpr uint32_t kSize = 160;
  for (uint32_t position = 0; position <= kSize; position++) OnValidateProgress(position, kSize);
  // A position-only report past the end changes nothing.
  OnValidateProgress(kSize + 1, 0);
  std::vector<std::string> expected = {"Validating File 0%"};
  for (int percent : {6, 13, 19, 25, 31, 38, 44, 50, 56, 63, 69, 75, 81, 88, 94, 100}) {
    expected.push_back("Validating File " + std::to_string(percent) + "%");
  }
  EXPECT_EQ(Texts(IDC_PROGRESS_STEP_TEXT), expected);
}

TEST_F(Progress, EraseLinesShowAbsoluteAddresses) {
  ProgressSetBaseAddress(0x80000);
  OnEraseProgress(0, 0x100000);
  OnEraseProgress(0x40000, 0x100000);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Erasing Flash (at 000c0000)");
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressRange), 1024);
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos), 256);
  OnEraseProgress(0x100000, 0x100000);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Erasing Flash (at 00180000) done");
  // No line names offset 0, which reads as the bootloader.
  std::vector<std::string> texts = Texts(IDC_PROGRESS_STEP_TEXT);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[0], "Erasing Flash (at 00080000)");
}

// An erase of two regions reports each from 0: each names its own flash offset.
TEST_F(Progress, EraseOfSeveralRegionsNamesEachRegionsOffset) {
  const uint32_t bases[] = {0x40000, 0x1400000};
  ProgressSetEraseBases(bases, 2);
  for (uint32_t done : {0u, 0x20000u, 0x40000u}) OnEraseProgress(done, 0x40000);
  OnEraseProgress(0, 0x80000);
  OnEraseProgress(0x80000, 0x80000);
  std::vector<std::string> expected = {"Erasing Flash (at 00040000)", "Erasing Flash (at 00060000)",
                                       "Erasing Flash (at 00080000) done", "Erasing Flash (at 01400000)",
                                       "Erasing Flash (at 01480000) done"};
  EXPECT_EQ(Texts(IDC_PROGRESS_STEP_TEXT), expected);
}

TEST_F(Progress, ImageAndSectionLinesDriveBothBars) {
  RegionSummary summary = {0x4, 0x80000, 0x200000, 0x200000};
  OnImageSummary(&summary);
  EXPECT_EQ(LastText(IDC_PROGRESS_TOTAL_TEXT), "Image Start: 00080000\nImage Len: 00200000 (2097152)");
  EXPECT_EQ(LastValue(IDC_PROGRESS_TOTAL_BAR, UiChange::ProgressRange), 2048);
  OnSectionStart(0x81000, 0x3000, 0x1234);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Section Start: 00081000\nSection Len: 00003000 (12288)");
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressRange), 12);
  OnBytesProgress(0x2000, 0x5000);
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos), 8);
  EXPECT_EQ(LastValue(IDC_PROGRESS_TOTAL_BAR, UiChange::ProgressPos), 20);
  EXPECT_EQ(ProgressCurrentImage().length, 0x200000u);
}

TEST_F(Progress, CpldOnlyUpdateAnimatesUntilTheFirstByteReport) {
  RegionSummary earlier = {0x4, 0x80000, 0x1000, 0x1000};
  OnImageSummary(&earlier);
  size_t lowerTexts = Changes(IDC_PROGRESS_TOTAL_TEXT, UiChange::Text).size();
  size_t lowerRanges = Changes(IDC_PROGRESS_TOTAL_BAR, UiChange::ProgressRange).size();
  RegionSummary summary = {0x400, 0xFFFFFFFF, 0, 0};
  OnImageSummary(&summary);
  EXPECT_EQ(Changes(IDC_PROGRESS_TOTAL_TEXT, UiChange::Text).size(), lowerTexts) << RecordingLog();
  EXPECT_EQ(Changes(IDC_PROGRESS_TOTAL_BAR, UiChange::ProgressRange).size(), lowerRanges) << RecordingLog();
  OnSectionStart(0, 5000, 0);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Updating CPLD. Please wait...");
  EXPECT_EQ(LastText(IDC_PROGRESS_TOTAL_TEXT), "");
  Sleep(kAnimationWatchMs);
  OnBytesProgress(0, 0);  // no total yet: the animation goes on
  OnBytesProgress(5000, 5000);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Updating CPLD. Please wait...done.");
  Sleep(kAnimationEndMs);
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressRange), 2);
  EXPECT_TRUE(Seen(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos, 1)) << RecordingLog();
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos), 2);
}

TEST_F(Progress, FileSystemPhasesStartAndStopTheAnimation) {
  OnEraseProgress(1, 0);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Preparing filesystem driver. Please wait...");
  Sleep(kAnimationWatchMs);
  OnEraseProgress(2, 0);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Formatting store. Please wait...");
  OnEraseProgress(3, 0);
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Formatting store. Please wait...done.");
  Sleep(kAnimationEndMs);
  size_t settled = Changes(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos).size();
  EXPECT_TRUE(Seen(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos, 1)) << RecordingLog();
  EXPECT_EQ(LastValue(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos), 2);
  Sleep(kAnimationEndMs);
  EXPECT_EQ(Changes(IDC_PROGRESS_STEP_BAR, UiChange::ProgressPos).size(), settled) << "the animation has ended";
  OnEraseProgress(7, 0);  // an unknown phase changes nothing
  EXPECT_EQ(LastText(IDC_PROGRESS_STEP_TEXT), "Formatting store. Please wait...done.");
}

}  // namespace
