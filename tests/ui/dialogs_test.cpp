// The window system's semantics, over the recording backend: threads,
// lifetimes, nesting, cross-thread messages, templates.
#include <atomic>
#include <mutex>
#include <set>

#include "platform/error.h"
#include "platform/ui/recording.h"
#include "platform/ui/sample_dialog.h"
#include "platform/ui/window_model.h"
#include "tests/ui/ui_fixture.h"

namespace {

constexpr UINT kAskPeer = WM_USER + 10;
constexpr UINT kPeerAsksBack = WM_USER + 11;
constexpr UINT kAnswer = WM_USER + 12;
constexpr int kNestedButton = 50;
constexpr WORD kPlainId = 800;
constexpr WORD kInnerId = 801;
constexpr WORD kPeerId = 802;

constexpr DialogControl kPlainControls[] = {
    {IDOK, DialogControlKind::DefPushButton, u"OK", 4, 4, 40, 12, WS_VISIBLE},
    {kNestedButton, DialogControlKind::PushButton, u"Nested", 4, 20, 40, 12, WS_VISIBLE},
};
constexpr DialogTemplate kPlainDialog = {
    kPlainId, u"Plain", 100, 60, WS_POPUP | WS_CAPTION | WS_SYSMENU, u"System", 8, kPlainControls, 2,
};
constexpr DialogTemplate kInnerDialog = {
    kInnerId, u"Inner", 80, 40, WS_POPUP | WS_CAPTION | WS_SYSMENU, u"System", 8, kPlainControls, 1,
};
constexpr DialogTemplate kPeerDialog = {
    kPeerId, u"Peer", 80, 40, WS_POPUP | WS_CAPTION, u"System", 8, kPlainControls, 1,
};

// What the test procedures saw, from whichever thread ran them.
struct Seen {
  std::mutex lock;
  std::set<std::thread::id> threads;
  std::vector<std::pair<UINT, WPARAM>> messages;
  std::atomic<LPARAM> initParam{0};
  std::atomic<INT_PTR> nestedResult{-100};
  std::atomic<bool> ownerEnabledDuringNested{true};
  std::atomic<LRESULT> peerAnswer{0};
  std::atomic<HWND> peer{nullptr};
};
Seen* g_seen = nullptr;

void Note(UINT message, WPARAM wParam) {
  std::lock_guard<std::mutex> guard(g_seen->lock);
  g_seen->threads.insert(std::this_thread::get_id());
  g_seen->messages.emplace_back(message, wParam);
}

int CountMessages(UINT message, int id = -1) {
  std::lock_guard<std::mutex> guard(g_seen->lock);
  int n = 0;
  for (auto& [m, wParam] : g_seen->messages) {
    if (m == message && (id < 0 || LOWORD(wParam) == id)) n++;
  }
  return n;
}

INT_PTR InnerProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  Note(message, wParam);
  if (message == WM_INITDIALOG) g_seen->ownerEnabledDuringNested = IsWindowEnabled(GetParent(dialog));
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) EndDialog(dialog, 77);
  return message == WM_COMMAND;
}

INT_PTR TestProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  Note(message, wParam);
  switch (message) {
    case WM_INITDIALOG:
      g_seen->initParam = lParam;
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) EndDialog(dialog, 5);
      if (LOWORD(wParam) == IDCANCEL) EndDialog(dialog, 6);
      if (LOWORD(wParam) == kNestedButton) {
        g_seen->nestedResult = DialogBoxIndirectParamW(nullptr, &kInnerDialog, dialog, InnerProc, 0);
      }
      return TRUE;
    case kAskPeer:
      // Sends to a dialog of another thread that sends back to us meanwhile.
      g_seen->peerAnswer = SendMessageW(g_seen->peer, kPeerAsksBack, 0, reinterpret_cast<LPARAM>(dialog));
      return TRUE;
    case kAnswer:
      return static_cast<INT_PTR>(wParam) * 2;
    default:
      return FALSE;
  }
}

INT_PTR PeerProc(HWND, UINT message, WPARAM, LPARAM lParam) {
  Note(message, 0);
  if (message == kPeerAsksBack) return SendMessageW(reinterpret_cast<HWND>(lParam), kAnswer, 21, 0) + 1;
  return FALSE;
}

INT_PTR EndsDuringInit(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) EndDialog(dialog, 42);
  return FALSE;
}

class Dialogs : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    g_seen = &seen_;
  }
  Seen seen_;
};

TEST_F(Dialogs, TheProcedureRunsOnTheOpeningThreadWhoeverActs) {
  DialogThread t;
  t.Start(&kPlainDialog, TestProc, 1234);
  HWND dialog = WaitForDialog(kPlainId);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(seen_.initParam, 1234);

  // Input and sent messages from this thread run the procedure on the dialog's.
  EXPECT_EQ(SendMessageW(dialog, kAnswer, 4, 0), 8);
  ASSERT_TRUE(UiUserCommand(dialog, IDOK));
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.result, 5);
  EXPECT_EQ(seen_.threads.size(), 1u);
  EXPECT_EQ(seen_.threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(Dialogs, EndDialogFromAnotherThreadEndsTheLoop) {
  DialogThread t;
  t.Start(&kPlainDialog, TestProc);
  HWND dialog = WaitForDialog(kPlainId);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(EndDialog(dialog, 99));
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.result, 99);
}

TEST_F(Dialogs, CallsOnAnEndedDialogFailCleanly) {
  DialogThread t;
  t.Start(&kPlainDialog, TestProc);
  HWND dialog = WaitForDialog(kPlainId);
  ASSERT_NE(dialog, nullptr);
  HWND button = GetDlgItem(dialog, IDOK);
  ASSERT_NE(button, nullptr);
  EndDialog(dialog, 1);
  ASSERT_TRUE(t.Join());

  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_FALSE(SetDlgItemTextW(dialog, IDOK, u"x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(SetWindowTextW(button, u"x"));
  EXPECT_FALSE(EnableWindow(button, TRUE));
  EXPECT_FALSE(ShowWindow(button, SW_SHOW));
  EXPECT_FALSE(EndDialog(dialog, 2));
  EXPECT_EQ(SendMessageW(dialog, kAnswer, 1, 0), 0);
  EXPECT_EQ(SendMessageW(button, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(u"x")), 0);
  EXPECT_FALSE(PostMessageW(dialog, WM_COMMAND, IDOK, 0));
  EXPECT_EQ(GetDlgItem(dialog, IDOK), nullptr);
  WCHAR text[8] = u"junk";
  EXPECT_EQ(GetWindowTextW(dialog, text, 8), 0);
  EXPECT_EQ(text[0], 0);
  EXPECT_FALSE(UiUserCommand(dialog, IDOK));
  // A handle no dialog ever had, and one that looks like a slot far away.
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(uintptr_t{0x12345678})));
  EXPECT_FALSE(IsWindow(nullptr));

  // The slot is reused, but the old handle never reaches the new dialog.
  DialogThread again;
  again.Start(&kPlainDialog, TestProc);
  HWND second = WaitForDialog(kPlainId);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, dialog);
  EXPECT_FALSE(IsWindow(dialog));
  EXPECT_FALSE(EndDialog(dialog, 3));
  EXPECT_TRUE(IsWindow(second));
}

TEST_F(Dialogs, EndDialogDuringInitNeverShowsTheDialog) {
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &kPlainDialog, nullptr, EndsDuringInit, 0), 42);
  std::string log = RecordingLog();
  EXPECT_EQ(log.find("open 800"), std::string::npos) << log;
  EXPECT_NE(log.find("close 800 result 42"), std::string::npos) << log;
}

TEST_F(Dialogs, NestedModalDialogDisablesItsOwnerUntilItEnds) {
  DialogThread t;
  t.Start(&kPlainDialog, TestProc);
  HWND outer = WaitForDialog(kPlainId);
  ASSERT_NE(outer, nullptr);
  ASSERT_TRUE(UiUserCommand(outer, kNestedButton));
  HWND inner = WaitForDialog(kInnerId);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(GetParent(inner), outer);
  EXPECT_FALSE(seen_.ownerEnabledDuringNested);
  EXPECT_FALSE(IsWindowEnabled(outer));
  EXPECT_FALSE(UiUserCommand(outer, IDOK)) << "the owner takes no input under a modal dialog";
  // Sent messages still reach the owner while its thread runs the inner loop.
  EXPECT_EQ(SendMessageW(outer, kAnswer, 10, 0), 20);

  ASSERT_TRUE(UiUserCommand(inner, IDOK));
  ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(outer) != FALSE; }));
  EXPECT_EQ(seen_.nestedResult, 77);
  EXPECT_EQ(seen_.threads.size(), 1u) << "both procedures ran on the same thread";
  ASSERT_TRUE(UiUserCommand(outer, IDOK));
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.result, 5);
}

TEST_F(Dialogs, TwoThreadsSendingToEachOthersDialogsDoNotDeadlock) {
  DialogThread a;
  DialogThread b;
  a.Start(&kPlainDialog, TestProc);
  b.Start(&kPeerDialog, PeerProc);
  HWND first = WaitForDialog(kPlainId);
  seen_.peer = WaitForDialog(kPeerId);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(seen_.peer.load(), nullptr);
  // first's thread sends to the peer, whose procedure sends back to first.
  ASSERT_TRUE(PostMessageW(first, kAskPeer, 0, 0));
  ASSERT_TRUE(WaitUntil([&] { return seen_.peerAnswer != 0; }));
  EXPECT_EQ(seen_.peerAnswer, 43);
  EndDialog(first, 0);
  EndDialog(seen_.peer, 0);
  EXPECT_TRUE(a.Join());
  EXPECT_TRUE(b.Join());
}

TEST_F(Dialogs, TheCloseBoxBecomesCancelUnlessHandledAndNeedsAnOwnBox) {
  DialogThread t;
  t.Start(&kPlainDialog, TestProc);
  HWND dialog = WaitForDialog(kPlainId);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(UiUserClose(dialog));
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.result, 6);
  EXPECT_EQ(CountMessages(WM_CLOSE), 1);
  EXPECT_EQ(CountMessages(WM_COMMAND, IDCANCEL), 1);

  DialogThread peer;
  peer.Start(&kPeerDialog, PeerProc);
  HWND noBox = WaitForDialog(kPeerId);
  ASSERT_NE(noBox, nullptr);
  EXPECT_FALSE(UiUserClose(noBox)) << "a dialog without WS_SYSMENU has no close box";
}

TEST_F(Dialogs, EnterPressesTheDefaultButtonOnlyWhileItIsUsable) {
  DialogThread t;
  t.Start(&kPlainDialog, TestProc);
  HWND dialog = WaitForDialog(kPlainId);
  ASSERT_NE(dialog, nullptr);
  EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
  EXPECT_FALSE(UiUserCommand(dialog, IDOK));
  ASSERT_TRUE(UiUserEnter(dialog));  // no usable default button: IDOK all the same
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.result, 5);
}

TEST_F(Dialogs, TemplatesAreFoundByInstanceAndId) {
  HINSTANCE mine = reinterpret_cast<HINSTANCE>(uintptr_t{0x1000});
  HINSTANCE other = reinterpret_cast<HINSTANCE>(uintptr_t{0x2000});
  const DialogTemplate* list[] = {&kPlainDialog, &kSampleDialog};
  ASSERT_TRUE(RegisterDialogTemplates(mine, list, 2));

  EXPECT_EQ(DialogBoxParamW(other, MAKEINTRESOURCE(kPlainId), nullptr, EndsDuringInit, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(DialogBoxParamW(mine, MAKEINTRESOURCE(4711), nullptr, EndsDuringInit, 0), -1);
  EXPECT_EQ(DialogBoxParamW(mine, u"named", nullptr, EndsDuringInit, 0), -1);
  EXPECT_EQ(DialogBoxParamW(mine, MAKEINTRESOURCE(kPlainId), nullptr, EndsDuringInit, 0), 42);

  // A later registration of the same id replaces the template.
  DialogTemplate replacement = kInnerDialog;
  replacement.id = kPlainId;
  const DialogTemplate* again[] = {&replacement};
  ASSERT_TRUE(RegisterDialogTemplates(mine, again, 1));
  DialogBoxParamW(mine, MAKEINTRESOURCE(kPlainId), nullptr, EndsDuringInit, 0);
  EXPECT_NE(RecordingLog().find("close 800"), std::string::npos);

  DialogControl badControl = kPlainControls[0];
  badControl.width = -1;
  DialogTemplate bad = kPlainDialog;
  bad.controls = &badControl;
  bad.controlCount = 1;
  const DialogTemplate* bads[] = {&kInnerDialog, &bad};
  EXPECT_FALSE(RegisterDialogTemplates(other, bads, 2));
  EXPECT_EQ(DialogBoxParamW(other, MAKEINTRESOURCE(kInnerId), nullptr, EndsDuringInit, 0), -1)
      << "nothing of a refused batch is registered";
  bad.controlCount = kMaxDialogControls + 1;
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &bad, nullptr, EndsDuringInit, 0), -1);
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, nullptr, EndsDuringInit, 0), -1);
}

TEST_F(Dialogs, InitCommonControlsChecksTheRecord) {
  INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  EXPECT_TRUE(InitCommonControlsEx(&init));
  init.dwSize = 4;
  EXPECT_FALSE(InitCommonControlsEx(&init));
  EXPECT_FALSE(InitCommonControlsEx(nullptr));
}

}  // namespace
