// The recording backend's script driving dialogs the way the program's flow
// tests will: actions per template, waits for other windows, the log.
#include "platform/ui/recording.h"
#include "platform/ui/sample_dialog.h"
#include "platform/ui/window_model.h"
#include "tests/ui/ui_fixture.h"

namespace {

constexpr WORD kStarterId = 820;
constexpr int kStartFlow = 30;

constexpr DialogControl kStarterControls[] = {
    {kStartFlow, DialogControlKind::PushButton, u"Flow", 4, 4, 40, 12, WS_VISIBLE},
    {IDOK, DialogControlKind::PushButton, u"OK", 4, 20, 40, 12, WS_VISIBLE},
};
constexpr DialogTemplate kStarter = {
    kStarterId, u"Starter", 100, 60, WS_POPUP | WS_CAPTION | WS_SYSMENU, u"System", 8, kStarterControls, 2,
};

std::thread g_flow;

// The flow shows the sample dialog modal to the starter, on a thread of its own.
INT_PTR StarterProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message != WM_COMMAND) return message == WM_INITDIALOG;
  if (LOWORD(wParam) == kStartFlow) {
    g_flow = std::thread([dialog] {
      DialogBoxIndirectParamW(nullptr, &kSampleDialog, dialog, SampleDialogProc, 0);
      MessageBoxW(dialog, u"Flow done", u"Success", MB_OK);
    });
  }
  if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) EndDialog(dialog, LOWORD(wParam));
  return TRUE;
}

struct Checked {
  std::string status;
  bool secretVisible = false;
  bool hideVisible = true;
};

void CheckSample(HWND dialog, void* context) {
  auto* checked = static_cast<Checked*>(context);
  checked->status = ItemText(dialog, kSampleStatus);
  checked->secretVisible = IsWindowVisible(GetDlgItem(dialog, kSampleSecret));
  checked->hideVisible = IsWindowVisible(GetDlgItem(dialog, kSampleHide));
}

class Recording : public UiTest {};

TEST_F(Recording, ScriptedActionsDriveADialogAndTheLogShowsEveryChange) {
  Checked checked;
  RecordingOnDialog(kSampleDialogId, RecordingSelect(kSampleList, {0, 2}));
  RecordingOnDialog(kSampleDialogId, RecordingMouseDown(MK_SHIFT | MK_CONTROL, 5, 5));
  RecordingOnDialog(kSampleDialogId, RecordingClick(kSampleHide));
  RecordingOnDialog(kSampleDialogId, RecordingClick(kSampleSecret + 100));  // no such button: refused
  RecordingOnDialog(kSampleDialogId, RecordingCall(CheckSample, &checked));
  RecordingOnDialog(kSampleDialogId, RecordingClick(IDOK));
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &kSampleDialog, nullptr, SampleDialogProc, 0), 1);

  EXPECT_EQ(checked.status, "Selected: 0 2");
  EXPECT_TRUE(checked.secretVisible);
  EXPECT_FALSE(checked.hideVisible);
  std::string log = RecordingLog();
  for (const char* line : {"items 900/9003 1", "range 900/9004 0-100", "pos 900/9004 40", "open 900 owner -1 \"Sample\"",
                           "selection 900/9003 0,2", "text 900/9002 \"Selected: 0 2\"", "enabled 900/9005 1",
                           "visible 900/9007 1", "visible 900/9006 0", "action 900 click 9107 (refused)",
                           "close 900 result 1"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  // Changes made during WM_INITDIALOG come before the dialog shows.
  EXPECT_LT(log.find("pos 900/9004 40"), log.find("open 900"));
}

TEST_F(Recording, ADialogWithNothingLeftToDoClosesOnceTheWindowsSettle) {
  RecordingSetTimings(20, 5000);
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &kSampleDialog, nullptr, SampleDialogProc, 0), 0);
  EXPECT_NE(RecordingLog().find("action 900 close (script ended)"), std::string::npos) << RecordingLog();
}

TEST_F(Recording, AwaitHoldsADialogsScriptUntilAFlowsWindowClosed) {
  RecordingSetTimings(20, 5000);
  RecordingOnDialog(kStarterId, RecordingClick(kStartFlow));
  RecordingOnDialog(kStarterId, RecordingAwaitClosed(kSampleDialogId, 1));
  RecordingOnDialog(kStarterId, RecordingClick(IDOK));
  RecordingOnDialog(kSampleDialogId, RecordingClick(IDOK));
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &kStarter, nullptr, StarterProc, 0), IDOK);
  g_flow.join();

  std::string log = RecordingLog();
  EXPECT_NE(log.find("open 900 owner 820"), std::string::npos) << log;
  size_t flowClosed = log.find("close 900 result 1");
  size_t awaited = log.find("action 820 await");
  ASSERT_NE(flowClosed, std::string::npos) << log;
  ASSERT_NE(awaited, std::string::npos) << log;
  EXPECT_LT(flowClosed, awaited);
  EXPECT_EQ(RecordingClosedCount(kSampleDialogId), 1);
  EXPECT_EQ(RecordingClosedCount(kStarterId), 1);
}

}  // namespace
