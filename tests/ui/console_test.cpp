// The console window system: dialogs as text, and driven through pipes and a
// pseudo-terminal as a user or a script would.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/ui/console_render.h"
#include "platform/ui/console_ui.h"
#include "platform/ui/recording.h"
#include "platform/ui/sample_dialog.h"
#include "platform/ui/ui_backend.h"
#include "platform/ui/window_model.h"
#include "tests/support/temp_module.h"
#include "tests/ui/ui_fixture.h"

namespace {

constexpr WORD kProgressId = 830;
constexpr int kUpper = 1004;
constexpr int kUpperBar = 1002;
constexpr int kLower = 1005;
constexpr uint32_t kTestSettleMs = 30;

// A window like the program's progress window: texts, bars, a hidden button.
constexpr DialogControl kProgressControls[] = {
    {kUpper, DialogControlKind::StaticText, nullptr, 4, 4, 126, 17, WS_VISIBLE},
    {kUpperBar, DialogControlKind::ProgressBar, nullptr, 4, 23, 126, 13, WS_VISIBLE | WS_BORDER},
    {kLower, DialogControlKind::StaticText, nullptr, 4, 43, 126, 17, WS_VISIBLE},
    {IDCANCEL, DialogControlKind::PushButton, u"Abort", 38, 80, 58, 11, 0},
};
constexpr DialogTemplate kProgress = {
    kProgressId, u"Progress", 134, 98, WS_POPUP | WS_CAPTION | DS_MODALFRAME, u"System", 8, kProgressControls, 4,
};

INT_PTR ProgressProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_COMMAND; }

std::vector<std::string> g_rendered;
void RenderSample(HWND dialog, void*) {
  UiDialogState state;
  ASSERT_TRUE(UiSnapshotDialog(dialog, &state));
  g_rendered = ConsoleRenderDialog(state, ConsoleButtonKeys(state));
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& l : lines) all += l + "\n";
  return all;
}

TEST(ConsoleRender, TheSampleDialogAsText) {
  UiResetForTests();
  RecordingOnDialog(kSampleDialogId, RecordingSelect(kSampleList, {1}));
  RecordingOnDialog(kSampleDialogId, RecordingCall(RenderSample, nullptr));
  RecordingOnDialog(kSampleDialogId, RecordingClick(IDOK));
  ASSERT_EQ(DialogBoxIndirectParamW(nullptr, &kSampleDialog, nullptr, SampleDialogProc, 0), 1);
  UiResetForTests();
  std::string text = Joined(g_rendered);
  ASSERT_FALSE(g_rendered.empty());
  EXPECT_EQ(g_rendered.front().rfind("+- Sample ", 0), 0u) << text;
  for (const char* part : {"-- Regions --", "Select one or more:", " 0 [ ] Bootloader", " 1 [x] Config Block",
                           "[O]K", "[C]ancel", "C[l]ear", "[H]ide", "Selected: 1", "[######...........]  40%"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
  EXPECT_EQ(text.find("Secret"), std::string::npos) << "hidden buttons are not drawn\n" << text;
  // Controls side by side in the template stay side by side.
  bool sameLine = false;
  for (const std::string& line : g_rendered) {
    sameLine = sameLine || (line.find("Bootloader") != std::string::npos && line.find("[C]ancel") != std::string::npos);
  }
  EXPECT_TRUE(sameLine) << text;
}

TEST(ConsoleRender, InputLinesAndAnswers) {
  std::vector<int> selection;
  EXPECT_TRUE(ConsoleParseSelection("0, 2-3", 5, &selection));
  EXPECT_EQ(selection, (std::vector<int>{0, 2, 3}));
  EXPECT_TRUE(ConsoleParseSelection("none", 5, &selection));
  EXPECT_TRUE(selection.empty());
  for (const char* bad : {"", "5", "3-1", "a", "1,,2", "-1", "99999999"}) {
    EXPECT_FALSE(ConsoleParseSelection(bad, 5, &selection)) << bad;
  }

  UiMessageBox box;
  box.buttonCount = 2;
  box.buttons[0] = IDYES;
  box.buttons[1] = IDNO;
  box.defaultButton = IDNO;
  EXPECT_EQ(ConsoleParseAnswer(box, "y"), IDYES);
  EXPECT_EQ(ConsoleParseAnswer(box, " YES "), IDYES);
  EXPECT_EQ(ConsoleParseAnswer(box, "No"), IDNO);
  EXPECT_EQ(ConsoleParseAnswer(box, ""), IDNO);
  EXPECT_EQ(ConsoleParseAnswer(box, "ok"), 0);
  EXPECT_EQ(ConsoleBoxPrompt(box), "  [Y]es / [N]o (Enter: No) > ");

  UiDialogState state;
  state.controls.resize(2);
  state.controls[0].kind = DialogControlKind::PushButton;
  state.controls[0].text = u"&Save";
  state.controls[0].id = 7;
  state.controls[1].kind = DialogControlKind::PushButton;
  state.controls[1].text = u"Stop";
  state.controls[1].id = 8;
  std::vector<char> keys = ConsoleButtonKeys(state);
  EXPECT_EQ(keys, (std::vector<char>{'s', 't'}));
  ConsoleCommand command = ConsoleParseCommand(state, keys, "T");
  EXPECT_EQ(command.kind, ConsoleCommandKind::Press);
  EXPECT_EQ(command.controlId, 8);
  command = ConsoleParseCommand(state, keys, "click right shift");
  EXPECT_EQ(command.kind, ConsoleCommandKind::Click);
  EXPECT_EQ(command.keys, MK_RBUTTON | MK_SHIFT);
  EXPECT_EQ(ConsoleParseCommand(state, keys, "click twice").kind, ConsoleCommandKind::Unknown);
  EXPECT_EQ(ConsoleParseCommand(state, keys, "l 0").kind, ConsoleCommandKind::Unknown) << "no list here";
  EXPECT_EQ(ConsoleParseCommand(state, keys, "").kind, ConsoleCommandKind::Enter);
  EXPECT_EQ(ConsoleParseCommand(state, keys, "close").kind, ConsoleCommandKind::Close);
  EXPECT_EQ(ConsoleParseCommand(state, keys, "q").kind, ConsoleCommandKind::Close) << "no button has q";
}

// The console backend on pipes (or a pseudo-terminal) of the test's own.
class Console : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    ASSERT_EQ(::pipe2(input_, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output_, O_CLOEXEC | O_NONBLOCK), 0);
    Configure(input_[0], output_[1], 0);
  }
  void TearDown() override {
    CloseInput();
    UiTest::TearDown();
    for (int fd : {input_[0], output_[0], output_[1], terminal_[0], terminal_[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }
  // The console writes to a terminal (a pseudo-terminal's slave side) and
  // the test reads what it drew from the master side.
  void OpenTerminal() {
    ASSERT_EQ(::openpty(&terminal_[0], &terminal_[1], nullptr, nullptr, nullptr), 0);
    ::fcntl(terminal_[0], F_SETFL, O_NONBLOCK);
    readFd_ = terminal_[0];
    Configure(input_[0], terminal_[1], -1);
  }
  void Configure(int in, int out, int terminal, uint32_t settleMs = kTestSettleMs) {
    ConsoleUiConfig config;
    config.inputFd = in;
    config.outputFd = out;
    config.terminal = terminal;
    config.settleMs = settleMs;
    config.redrawMs = 5;
    ConsoleUiConfigure(config);
    UiSetBackend(ConsoleBackend());
    readFd_ = out == output_[1] ? output_[0] : readFd_;
  }
  void Type(const std::string& line) {
    std::string data = line + "\n";
    ASSERT_EQ(::write(input_[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  void CloseInput() {
    if (input_[1] >= 0) ::close(input_[1]);
    input_[1] = -1;
  }
  // Everything written so far.
  std::string Output() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(readFd_, buffer, sizeof buffer)) > 0) seen_.append(buffer, static_cast<size_t>(n));
    return seen_;
  }
  // Waits for `text` to appear after what earlier waits consumed.
  bool Expect(const std::string& text, int ms = 5000) {
    bool found = WaitUntil([&] { return Output().find(text, consumed_) != std::string::npos; }, ms);
    if (found) consumed_ = seen_.find(text, consumed_) + text.size();
    return found;
  }
  int input_[2] = {-1, -1};
  int output_[2] = {-1, -1};
  int terminal_[2] = {-1, -1};  // master, slave
  int readFd_ = -1;
  std::string seen_;
  size_t consumed_ = 0;
};

TEST_F(Console, ASampleDialogIsDrivenByLines) {
  DialogThread t;
  t.Start(&kSampleDialog, SampleDialogProc);
  ASSERT_TRUE(Expect("+- Sample")) << seen_;
  ASSERT_TRUE(Expect("Sample (? for help)> ")) << seen_;
  Type("l 0,2");
  ASSERT_TRUE(Expect("C[l]ear")) << "enabled now\n" << seen_;
  ASSERT_TRUE(Expect("Selected: 0 2")) << seen_;
  ASSERT_TRUE(Expect("Sample (? for help)> ")) << seen_;
  Type("click shift ctrl");
  ASSERT_TRUE(Expect("[S]ecret")) << seen_;
  Type("x");
  ASSERT_TRUE(Expect("no button has the key 'x'")) << seen_;
  Type("L");  // the Clear button's key
  ASSERT_TRUE(Expect("Nothing selected")) << seen_;
  Type("h");
  ASSERT_TRUE(Expect("Sample (? for help)> ")) << seen_;
  Type("?");
  ASSERT_TRUE(Expect("l 0,2-3")) << seen_;
  Type("o");
  ASSERT_TRUE(t.Join());
  EXPECT_EQ(t.result, 1);
  EXPECT_EQ(Output().find("[H]ide", consumed_), std::string::npos) << "hidden after h\n" << seen_;
}

TEST_F(Console, MessageBoxesPrintTheirCaptionAndQuestionsReadAnAnswer) {
  EXPECT_EQ(MessageBoxW(nullptr, u"Registry successfully saved", u"Registry", MB_OK), IDOK);
  EXPECT_TRUE(Expect("[Registry] Registry successfully saved\n"));
  int answer = 0;
  std::thread asker([&] { answer = MessageBoxW(nullptr, u"Erase the\nselected region(s)?", u"Flash Erase", 0x24); });
  ASSERT_TRUE(Expect("[Flash Erase] (?) Erase the\n")) << seen_;
  ASSERT_TRUE(Expect("                  selected region(s)?\n")) << seen_;
  ASSERT_TRUE(Expect("[Y]es / [N]o (Enter: Yes) > ")) << seen_;
  Type("maybe");
  ASSERT_TRUE(Expect("please answer")) << seen_;
  Type("n");
  asker.join();
  EXPECT_EQ(answer, IDNO);
  EXPECT_EQ(MessageBoxW(nullptr, u"Could not initialize Flash.", u"ERROR", MB_ICONHAND), IDOK);
  EXPECT_TRUE(Expect("[ERROR] (stop) Could not initialize Flash.")) << seen_;
}

// Nobody is there to decide: whatever the default, a question takes the
// answer that changes nothing.
TEST_F(Console, AtTheEndOfInputQuestionsChangeNothingAndDialogsClose) {
  CloseInput();
  EXPECT_EQ(MessageBoxW(nullptr, u"Reset now?", u"Reset", MB_YESNO | MB_ICONQUESTION), IDNO);
  EXPECT_TRUE(Expect("(Enter: Yes) > ")) << seen_;
  EXPECT_TRUE(Expect("(end of input: No, the answer that changes nothing)")) << seen_;
  EXPECT_EQ(MessageBoxW(nullptr, u"Save first?", u"Close", MB_YESNOCANCEL), IDCANCEL);
  EXPECT_EQ(MessageBoxW(nullptr, u"Go on?", u"WARNING", 0x134), IDNO);
  EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &kSampleDialog, nullptr, SampleDialogProc, 0), 0);
  EXPECT_TRUE(Expect("(end of input: closed)")) << seen_;
}

TEST_F(Console, ProgressPrintsLinesOnlyWhenItsTextChanges) {
  DialogThread t;
  t.Start(&kProgress, ProgressProc);
  HWND progress = WaitForDialog(kProgressId);
  ASSERT_NE(progress, nullptr);
  SetWindowTextW(progress, u"Image Erase");
  SendDlgItemMessageW(progress, kUpperBar, PBM_SETRANGE32, 0, 1000);
  for (int i = 0; i < 1000; i += 50) {
    SetDlgItemTextW(progress, kUpper, u"Erasing Flash");
    SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, static_cast<WPARAM>(i), 0);
  }
  SetDlgItemTextW(progress, kLower, u"Image Start: 00000000\nImage Len: 00040000 (262144)");
  ASSERT_TRUE(Expect("== Image Erase ==")) << seen_;
  ASSERT_TRUE(Expect("   Image Len: 00040000 (262144)\n")) << seen_;
  // A question over the progress window is still answered; the progress
  // window itself never takes a line.
  int answer = 0;
  std::thread asker([&] { answer = MessageBoxW(nullptr, u"Sure?", u"Flash Erase", MB_YESNO | MB_ICONQUESTION); });
  ASSERT_TRUE(Expect("(Enter: Yes) > ")) << seen_;
  Type("n");
  asker.join();
  EXPECT_EQ(answer, IDNO);
  SetDlgItemTextW(progress, kUpper, u"Erasing Flash done");
  EndDialog(progress, 0);
  ASSERT_TRUE(t.Join());
  ASSERT_TRUE(Expect("   Erasing Flash done\n")) << seen_;
  size_t erasing = 0;
  for (size_t at = seen_.find("   Erasing Flash\n"); at != std::string::npos; at = seen_.find("   Erasing Flash\n", at + 1)) {
    erasing++;
  }
  EXPECT_EQ(erasing, 1u) << seen_;
  EXPECT_EQ(seen_.find("Abort"), std::string::npos) << seen_;
}

// A log is no sample of the window: texts that come and go between two
// draws are each a line, and a bar is a line whenever its picture moves. A
// dumb terminal gets the same log, without a cursor movement.
TEST_F(Console, TheLogHasEveryChangeAsALine) {
  const char* term = std::getenv("TERM");
  std::string savedTerm = term != nullptr ? term : "";
  for (bool dumbTerminal : {false, true}) {
    if (dumbTerminal) {
      ::setenv("TERM", "dumb", 1);
      ASSERT_NO_FATAL_FAILURE(OpenTerminal());
    }
    DialogThread t;
    t.Start(&kProgress, ProgressProc);
    HWND progress = WaitForDialog(kProgressId);
    ASSERT_NE(progress, nullptr);
    SendDlgItemMessageW(progress, kUpperBar, PBM_SETRANGE32, 0, 100);
    for (const char16_t* text : {u"Section Start: 1", u"Section Start: 2", u"Section Start: 3"}) {
      SetDlgItemTextW(progress, kUpper, text);
      SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, 50, 0);
      SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, 100, 0);
    }
    EndDialog(progress, 0);
    ASSERT_TRUE(t.Join());
    for (const char* line : {"   Section Start: 1", "   [##########..........]  50%", "   [####################] 100%",
                             "   Section Start: 2", "   [##########..........]  50%", "   Section Start: 3"}) {
      ASSERT_TRUE(Expect(line)) << dumbTerminal << line << "\n" << seen_;
    }
    EXPECT_EQ(seen_.find("\x1b"), std::string::npos) << seen_;
  }
  if (term != nullptr) ::setenv("TERM", savedTerm.c_str(), 1);
  else ::unsetenv("TERM");
  UiResetForTests();
}

TEST_F(Console, OnATerminalProgressIsRedrawnInPlace) {
  ASSERT_NO_FATAL_FAILURE(OpenTerminal());
  DialogThread t;
  t.Start(&kProgress, ProgressProc);
  HWND progress = WaitForDialog(kProgressId);
  ASSERT_NE(progress, nullptr);
  SendDlgItemMessageW(progress, kUpperBar, PBM_SETRANGE32, 0, 100);
  SetDlgItemTextW(progress, kUpper, u"Writing");
  ASSERT_TRUE(Expect("Writing")) << seen_;
  SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, 50, 0);
  ASSERT_TRUE(Expect("\x1b[")) << seen_;
  EXPECT_TRUE(Expect("F\x1b[J")) << seen_;
  EXPECT_TRUE(Expect(" 50%")) << seen_;
  EndDialog(progress, 0);
  EXPECT_TRUE(t.Join());
  UiResetForTests();
}

// The progress window appears once it says something, and keeps still while
// a question waits: its changes show after the answer, below it.
TEST_F(Console, OnATerminalNothingIsDrawnOverAnOpenQuestion) {
  ASSERT_NO_FATAL_FAILURE(OpenTerminal());
  DialogThread t;
  t.Start(&kProgress, ProgressProc);
  HWND progress = WaitForDialog(kProgressId);
  ASSERT_NE(progress, nullptr);
  SetWindowTextW(progress, u"Image Update");
  SetDlgItemTextW(progress, kUpper, u"Validating File 100%");
  ASSERT_TRUE(Expect("Validating File 100%")) << seen_;
  EXPECT_EQ(seen_.find("Progress"), std::string::npos) << "drawn before it had anything to show\n" << seen_;
  int answer = 0;
  std::thread asker([&] { answer = MessageBoxW(nullptr, u"Sure?", u"WARNING", MB_YESNO | MB_ICONQUESTION); });
  ASSERT_TRUE(Expect("(Enter: Yes) > ")) << seen_;
  SetDlgItemTextW(progress, kUpper, u"Erasing Flash");
  SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, 50, 0);
  EXPECT_FALSE(WaitUntil([&] { return Output().size() > consumed_; }, 300)) << "drawn under the prompt\n" << seen_;
  Type("y");
  asker.join();
  EXPECT_EQ(answer, IDYES);
  ASSERT_TRUE(Expect("Erasing Flash")) << seen_;
  EXPECT_EQ(seen_.find("\x1b[", seen_.find("(Enter: Yes) > ")), std::string::npos) << "nothing above was erased\n"
                                                                                    << seen_;
  EndDialog(progress, 0);
  EXPECT_TRUE(t.Join());
  UiResetForTests();
}

// A dialog's prompt stops holding drawings back once a window modal to it
// has taken its input away, as the update's progress window does.
TEST_F(Console, AWindowModalToAPromptedDialogIsDrawn) {
  DialogThread sample;
  sample.Start(&kSampleDialog, SampleDialogProc);
  HWND dialog = WaitForDialog(kSampleDialogId);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(Expect("Sample (? for help)> ")) << seen_;
  DialogThread t;
  t.Start(&kProgress, ProgressProc, 0, dialog);
  HWND progress = WaitForDialog(kProgressId);
  ASSERT_NE(progress, nullptr);
  SetDlgItemTextW(progress, kUpper, u"Writing");
  EXPECT_TRUE(Expect("   Writing\n")) << seen_;
  EndDialog(progress, 0);
  EXPECT_TRUE(t.Join());
  EndDialog(dialog, 0);
  EXPECT_TRUE(sample.Join());
}

// A line that came while its dialog could not take it (a window modal to it
// was up, as while a flow waits for another process's flash lock) reaches
// the dialog once it can, however long after the last line that did.
TEST_F(Console, ALineWaitingForItsDialogReachesItWhenTheDialogTakesInputAgain) {
  Configure(input_[0], output_[1], 0, 0);  // no settle: nothing wakes the console but the change itself
  DialogThread t;
  t.Start(&kSampleDialog, SampleDialogProc);
  HWND dialog = WaitForDialog(kSampleDialogId);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(Expect("Sample (? for help)> ")) << seen_;
  UiBeginModal(dialog);
  int answer = 0;
  std::thread asker([&] { answer = MessageBoxW(nullptr, u"Go on?", u"Flow", MB_YESNO); });
  ASSERT_TRUE(Expect("(Enter: Yes) > ")) << seen_;
  Type("n\no");  // the answer, and a line the dialog cannot take yet
  asker.join();
  EXPECT_EQ(answer, IDNO);
  UiEndModal(dialog);
  bool ended = t.Join();
  if (!ended) EndDialog(dialog, 0);
  EXPECT_TRUE(ended) << seen_;
  EXPECT_TRUE(t.Join());
  EXPECT_EQ(t.result, 1);
}

TEST_F(Console, FileDialogsAskForAPathInTheModulesSpace) {
  ASSERT_TRUE(AttachModuleWithImages());
  WCHAR file[MAX_PATH] = {};
  OPENFILENAMEW ofn = ImageOpenRequest(file, u"\\UiTest");
  BOOL chosen = FALSE;
  std::thread chooser([&] { chosen = GetOpenFileNameW(&ofn); });
  ASSERT_TRUE(Expect("[Open] IMAGE files (*.bin) in \\UiTest")) << seen_;
  ASSERT_TRUE(Expect("file name > ")) << seen_;
  Type("images");
  ASSERT_TRUE(Expect("in \\UiTest\\images")) << seen_;
  Type("?");
  ASSERT_TRUE(Expect("    nk.bin")) << seen_;
  Type("missing.bin");
  ASSERT_TRUE(Expect("File not found.")) << seen_;
  Type("NK.bin");
  chooser.join();
  EXPECT_TRUE(chosen);
  EXPECT_TRUE(std::u16string(file) == u"\\UiTest\\images\\NK.bin");

  std::thread cancel([&] { chosen = GetOpenFileNameW(&ofn); });
  ASSERT_TRUE(Expect("file name [NK.bin] > ")) << seen_;
  Type("-");
  cancel.join();
  EXPECT_FALSE(chosen);
  PlatformDetachModule();
}

}  // namespace
