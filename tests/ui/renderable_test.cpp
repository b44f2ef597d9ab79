// Message boxes drawn by the screenshot renderer. Each case runs in a process
// of its own: the renderer makes its own QApplication, and this binary's Qt
// tests make theirs, which Qt allows only once per process.
#include <gtest/gtest.h>

#include <QImage>
#include <QString>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "platform/ui/renderable.h"
#include "platform/ui/sample_dialog.h"
#include "tests/support/temp_module.h"

namespace {

constexpr UINT kQuestionStyle = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
// Wide enough for the text and both buttons, tall enough for the caption too.
constexpr int kMinBoxWidth = 150;
constexpr int kMinBoxHeight = 80;

std::atomic<int> g_firstAnswer{0};
std::atomic<int> g_secondAnswer{0};

// A question, then a note: both must be answered for the scene to end.
void QuestionThenNote(LPARAM) {
  g_firstAnswer = MessageBoxW(nullptr, u"Overwrite the region?\n- OS Image", u"WARNING", kQuestionStyle);
  g_secondAnswer = MessageBoxW(nullptr, u"Nothing was written.", u"Note", MB_OK);
}

void OpensNothing(LPARAM) {}

// Renders `dialog` and prints what a parent can check: "drawn WxH" or the error.
int RenderAndReport(const RenderableDialog& dialog, const std::string& path) {
  std::string error;
  if (!UiRenderDialogToPng(dialog, path, &error)) {
    std::fprintf(stderr, "failed: %s; file %s\n", error.c_str(), std::filesystem::exists(path) ? "written" : "absent");
    return 1;
  }
  QImage image(QString::fromStdString(path));
  std::fprintf(stderr, "drawn %s; answers %d %d\n",
               image.width() >= kMinBoxWidth && image.height() >= kMinBoxHeight ? "large enough" : "too small",
               g_firstAnswer.load(), g_secondAnswer.load());
  return 0;
}

TEST(RenderableMessageBox, TheFirstBoxIsDrawnAndEveryBoxIsAnsweredWithItsDefault) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string path = MakeTempDir("fwrender") + "/question.png";
  RenderableDialog dialog{.name = "question", .description = "a question, then a note", .scene = QuestionThenNote};
  // IDNO (7) is the question's default, IDOK (1) the note's only answer.
  EXPECT_EXIT(std::exit(RenderAndReport(dialog, path)), ::testing::ExitedWithCode(0),
              "drawn large enough; answers 7 1");
}

TEST(RenderableMessageBox, ASceneThatOpensNoBoxFailsWithoutAPicture) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string path = MakeTempDir("fwrender") + "/none.png";
  RenderableDialog dialog{.name = "none", .description = "no box at all", .scene = OpensNothing};
  EXPECT_EXIT(std::exit(RenderAndReport(dialog, path)), ::testing::ExitedWithCode(1),
              "failed: the scene ended without opening a message box; file absent");
}

TEST(RenderableMessageBox, ATemplateAndASceneTogetherAreRefused) {
  RenderableDialog both{.name = "both",
                        .description = "a dialog and a scene",
                        .dialogTemplate = &kSampleDialog,
                        .proc = SampleDialogProc,
                        .scene = OpensNothing};
  RenderableDialog neither{.name = "neither", .description = "nothing to draw"};
  std::string error;
  // Refused before any window system or Qt is touched.
  EXPECT_FALSE(UiRenderDialogToPng(both, "/nonexistent/both.png", &error));
  EXPECT_FALSE(error.empty());
  error.clear();
  EXPECT_FALSE(UiRenderDialogToPng(neither, "/nonexistent/neither.png", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
