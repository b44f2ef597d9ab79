// Control texts, states, list box and progress bar messages, and what user
// input is allowed to do; any thread may make these calls.
#include "platform/error.h"
#include "platform/ui/recording.h"
#include "platform/ui/window_model.h"
#include "tests/ui/ui_fixture.h"

namespace {

constexpr WORD kControlsId = 810;
constexpr int kExtended = 10;
constexpr int kSingle = 11;
constexpr int kSorted = 12;
constexpr int kBar = 13;
constexpr int kLabel = 14;
constexpr int kButton = 15;
constexpr int kCapacity = 32;

constexpr DialogControl kControls[] = {
    {kExtended, DialogControlKind::ListBox, nullptr, 0, 0, 50, 40, WS_VISIBLE | LBS_EXTENDEDSEL | LBS_NOTIFY},
    {kSingle, DialogControlKind::ListBox, nullptr, 60, 0, 50, 40, WS_VISIBLE | LBS_NOTIFY},
    {kSorted, DialogControlKind::ListBox, nullptr, 120, 0, 50, 40, WS_VISIBLE | LBS_SORT | LBS_MULTIPLESEL},
    {kBar, DialogControlKind::ProgressBar, nullptr, 0, 50, 100, 10, WS_VISIBLE},
    {kLabel, DialogControlKind::StaticText, u"start", 0, 70, 100, 8, WS_VISIBLE},
    {kButton, DialogControlKind::PushButton, u"Go", 0, 80, 40, 12, WS_VISIBLE | WS_DISABLED},
};
constexpr DialogTemplate kControlsDialog = {
    kControlsId, u"Controls", 180, 100, WS_POPUP | WS_CAPTION, u"System", 8, kControls, 6,
};

INT_PTR QuietProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

LRESULT Send(HWND dialog, int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  return SendDlgItemMessageW(dialog, id, message, wParam, lParam);
}

LPARAM Text(const char16_t* text) { return reinterpret_cast<LPARAM>(text); }

std::vector<int32_t> Selected(HWND dialog, int id, WPARAM capacity = kCapacity) {
  int32_t items[kCapacity];
  LRESULT n = Send(dialog, id, LB_GETSELITEMS, capacity, reinterpret_cast<LPARAM>(items));
  if (n < 0) return {-1};
  return std::vector<int32_t>(items, items + n);
}

class Controls : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    thread_.Start(&kControlsDialog, QuietProc);
    dialog_ = WaitForDialog(kControlsId);
    ASSERT_NE(dialog_, nullptr);
  }
  DialogThread thread_;
  HWND dialog_ = nullptr;
};

TEST_F(Controls, ListBoxesKeepEntriesAndSelectionsAsThePlatformDoes) {
  for (const char16_t* name : {u"Bootloader", u"Config Block", u"OS Image"}) {
    Send(dialog_, kExtended, LB_ADDSTRING, 0, Text(name));
  }
  EXPECT_EQ(Send(dialog_, kExtended, LB_GETCOUNT), 3);
  // The backup dialog selects "0 to 16" to mean all of them.
  EXPECT_EQ(Send(dialog_, kExtended, LB_SELITEMRANGE, TRUE, MAKELPARAM(0, 16)), LB_OKAY);
  EXPECT_EQ(Selected(dialog_, kExtended), (std::vector<int32_t>{0, 1, 2}));
  EXPECT_EQ(Selected(dialog_, kExtended, 2), (std::vector<int32_t>{0, 1})) << "never more than asked for";
  EXPECT_EQ(Send(dialog_, kExtended, LB_SELITEMRANGE, FALSE, MAKELPARAM(2, 1)), LB_OKAY);
  EXPECT_EQ(Selected(dialog_, kExtended), (std::vector<int32_t>{0}));
  EXPECT_EQ(Send(dialog_, kExtended, LB_GETSELCOUNT), 1);
  EXPECT_EQ(Send(dialog_, kExtended, LB_SETSEL, FALSE, -1), LB_OKAY);
  EXPECT_EQ(Selected(dialog_, kExtended), std::vector<int32_t>{});
  EXPECT_EQ(Send(dialog_, kExtended, LB_SETSEL, TRUE, 7), LB_ERR);

  WCHAR text[kCapacity];
  EXPECT_EQ(Send(dialog_, kExtended, LB_GETTEXTLEN, 2), 8);
  EXPECT_EQ(Send(dialog_, kExtended, LB_GETTEXT, 2, reinterpret_cast<LPARAM>(text)), 8);
  EXPECT_TRUE(std::u16string(text) == u"OS Image");
  EXPECT_EQ(Send(dialog_, kExtended, LB_GETTEXT, 3, reinterpret_cast<LPARAM>(text)), LB_ERR);
  Send(dialog_, kExtended, LB_SETSEL, TRUE, 2);
  EXPECT_EQ(Send(dialog_, kExtended, LB_DELETESTRING, 0), 2);
  EXPECT_EQ(Selected(dialog_, kExtended), (std::vector<int32_t>{1})) << "selection moves with its entry";
  EXPECT_EQ(Send(dialog_, kExtended, LB_RESETCONTENT), LB_OKAY);
  EXPECT_EQ(Send(dialog_, kExtended, LB_GETCOUNT), 0);
  EXPECT_EQ(Send(dialog_, kExtended, LB_SELITEMRANGE, TRUE, MAKELPARAM(0, 16)), LB_OKAY);

  // A single-selection list has no multiple-selection messages.
  Send(dialog_, kSingle, LB_ADDSTRING, 0, Text(u"a"));
  EXPECT_EQ(Send(dialog_, kSingle, LB_SELITEMRANGE, TRUE, MAKELPARAM(0, 1)), LB_ERR);
  EXPECT_EQ(Send(dialog_, kSingle, LB_GETSELITEMS, kCapacity, 0), LB_ERR);

  // A sorted list places entries without regard to case; an index is where it went.
  EXPECT_EQ(Send(dialog_, kSorted, LB_ADDSTRING, 0, Text(u"delta")), 0);
  EXPECT_EQ(Send(dialog_, kSorted, LB_ADDSTRING, 0, Text(u"Alpha")), 0);
  EXPECT_EQ(Send(dialog_, kSorted, LB_ADDSTRING, 0, Text(u"charlie")), 1);
  EXPECT_EQ(Send(dialog_, kSorted, LB_INSERTSTRING, 9, Text(u"x")), LB_ERR);
}

TEST_F(Controls, ProgressBarsClampAndAnswerWithTheirPreviousValues) {
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETPOS), 0);
  // The default range 0..100 comes back packed.
  EXPECT_EQ(Send(dialog_, kBar, PBM_SETRANGE, 0, MAKELPARAM(0, 5120)), MAKELONG(0, 100));
  EXPECT_EQ(Send(dialog_, kBar, PBM_SETPOS, 5000), 0);
  EXPECT_EQ(Send(dialog_, kBar, PBM_SETPOS, 9000), 5000);
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETPOS), 5120) << "positions are clamped to the range";
  EXPECT_EQ(Send(dialog_, kBar, PBM_SETRANGE, 0, MAKELPARAM(0, 1)), MAKELONG(0, 5120));
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETPOS), 1) << "a smaller range pulls the position in";

  EXPECT_EQ(Send(dialog_, kBar, PBM_SETRANGE32, 100, 200000), MAKELONG(0, 1));
  PBRANGE range{};
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range)), 100);
  EXPECT_EQ(range.iHigh, 200000);
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETRANGE, FALSE, 0), 200000);
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETPOS), 100);
  Send(dialog_, kBar, PBM_DELTAPOS, 50);
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETPOS), 150);

  Send(dialog_, kBar, PBM_SETRANGE32, 0, 10);
  Send(dialog_, kBar, PBM_SETSTEP, 4);
  Send(dialog_, kBar, PBM_SETPOS, 8);
  Send(dialog_, kBar, PBM_STEPIT);
  EXPECT_EQ(Send(dialog_, kBar, PBM_GETPOS), 2) << "stepping past the end starts over";

  // Progress messages mean nothing to other controls.
  EXPECT_EQ(Send(dialog_, kLabel, PBM_SETPOS, 3), 0);
  EXPECT_EQ(Send(dialog_, kBar, LB_ADDSTRING, 0, Text(u"x")), 0);
}

TEST_F(Controls, TextsAndStatesAreReadBackAndPreviousStatesReturned) {
  EXPECT_EQ(ItemText(dialog_, kLabel), "start");
  EXPECT_TRUE(SetDlgItemTextW(dialog_, kLabel, u"Erasing Flash (at 00040000)"));
  EXPECT_EQ(ItemText(dialog_, kLabel), "Erasing Flash (at 00040000)");
  WCHAR small[6];
  EXPECT_EQ(GetDlgItemTextW(dialog_, kLabel, small, 6), 5u);
  EXPECT_TRUE(std::u16string(small) == u"Erasi");
  EXPECT_EQ(GetWindowTextLengthW(GetDlgItem(dialog_, kLabel)), 27);
  EXPECT_TRUE(SetWindowTextW(dialog_, u"Image Erase"));
  EXPECT_EQ(SendMessageW(dialog_, WM_GETTEXTLENGTH, 0, 0), 11);
  EXPECT_TRUE(SendMessageW(GetDlgItem(dialog_, kLabel), WM_SETTEXT, 0, Text(nullptr)));
  EXPECT_EQ(ItemText(dialog_, kLabel), "");
  EXPECT_FALSE(SetDlgItemTextW(dialog_, 4711, u"x"));
  EXPECT_EQ(GetLastError(), ERROR_CONTROL_ID_NOT_FOUND);

  HWND button = GetDlgItem(dialog_, kButton);
  EXPECT_EQ(GetDlgCtrlID(button), kButton);
  EXPECT_EQ(GetParent(button), dialog_);
  EXPECT_FALSE(IsWindowEnabled(button));
  EXPECT_TRUE(EnableWindow(button, TRUE)) << "it was disabled";
  EXPECT_FALSE(EnableWindow(button, TRUE));
  EXPECT_TRUE(IsWindowEnabled(button));
  EXPECT_TRUE(IsWindowVisible(button));
  EXPECT_TRUE(ShowWindow(button, SW_HIDE)) << "it was visible";
  EXPECT_FALSE(ShowWindow(button, SW_HIDE));
  EXPECT_FALSE(IsWindowVisible(button));

  // Every change reached the backend with its new state.
  std::string log = RecordingLog();
  EXPECT_NE(log.find("text 810/14 \"Erasing Flash (at 00040000)\""), std::string::npos) << log;
  EXPECT_NE(log.find("title 810/-1 \"Image Erase\""), std::string::npos) << log;
  EXPECT_NE(log.find("enabled 810/15 1"), std::string::npos) << log;
  EXPECT_NE(log.find("visible 810/15 0"), std::string::npos) << log;
}

TEST_F(Controls, UserInputOnlyReachesWhatCouldTakeIt) {
  Send(dialog_, kExtended, LB_ADDSTRING, 0, Text(u"a"));
  Send(dialog_, kExtended, LB_ADDSTRING, 0, Text(u"b"));
  Send(dialog_, kSingle, LB_ADDSTRING, 0, Text(u"a"));
  Send(dialog_, kSingle, LB_ADDSTRING, 0, Text(u"b"));
  EXPECT_FALSE(UiUserCommand(dialog_, kButton)) << "disabled";
  EnableWindow(GetDlgItem(dialog_, kButton), TRUE);
  EXPECT_TRUE(UiUserCommand(dialog_, kButton));
  ShowWindow(GetDlgItem(dialog_, kButton), SW_HIDE);
  EXPECT_FALSE(UiUserCommand(dialog_, kButton)) << "hidden";
  EXPECT_FALSE(UiUserCommand(dialog_, kLabel)) << "not a button";
  EXPECT_FALSE(UiUserCommand(dialog_, 4711));

  EXPECT_TRUE(UiUserSelect(dialog_, kExtended, {0, 1}));
  EXPECT_EQ(Selected(dialog_, kExtended), (std::vector<int32_t>{0, 1}));
  EXPECT_FALSE(UiUserSelect(dialog_, kSingle, {0, 1}));
  EXPECT_FALSE(UiUserSelect(dialog_, kExtended, {2}));
  EXPECT_TRUE(UiUserSelect(dialog_, kSingle, {1}));
  EXPECT_EQ(Send(dialog_, kSingle, LB_GETSEL, 1), 1);

  EnableWindow(dialog_, FALSE);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog_, kExtended))) << "a disabled dialog disables its controls";
  EXPECT_FALSE(UiUserSelect(dialog_, kExtended, {0}));
  EXPECT_FALSE(UiUserMouseDown(dialog_, MK_SHIFT, 1, 1));
}

}  // namespace
