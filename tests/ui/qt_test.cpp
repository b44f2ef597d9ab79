// The Qt backend with real widgets on the offscreen platform. The test's
// main thread is the GUI thread; dialogs run on threads of their own, as the
// program runs them, and input is simulated on the widgets.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <mutex>
#include <unistd.h>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui/dialog_units.h"
#include "platform/ui/qt/qt_backend.h"
#include "platform/ui/qt/qt_internal.h"
#include "platform/ui/renderable.h"
#include "platform/ui/sample_dialog.h"
#include "platform/ui/window_model.h"
#include "tests/support/temp_module.h"
#include "tests/ui/ui_fixture.h"

namespace {

constexpr WORD kProgressId = 840;
constexpr int kUpper = 1004;
constexpr int kUpperBar = 1002;
constexpr int kNestButton = 9100;
constexpr int kMaxRounds = 1000000;

constexpr DialogControl kProgressControls[] = {
    {kUpper, DialogControlKind::StaticText, nullptr, 4, 4, 126, 17, WS_VISIBLE},
    {kUpperBar, DialogControlKind::ProgressBar, nullptr, 4, 23, 126, 13, WS_VISIBLE | WS_BORDER},
    {IDCANCEL, DialogControlKind::PushButton, u"Abort", 38, 80, 58, 11, 0},
};
constexpr DialogTemplate kProgress = {
    kProgressId, u"Progress", 134, 98, WS_POPUP | WS_CAPTION | DS_MODALFRAME, u"System", 8, kProgressControls, 3,
};

INT_PTR ProgressProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_COMMAND; }

QApplication* App() {
  static QApplication* app = [] {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return app;
}

// Runs the GUI thread's events until `condition` holds or `ms` pass.
bool Pump(const std::function<bool()>& condition, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// What the procedure saw; filled on the dialog's thread.
struct Seen {
  std::mutex lock;
  std::vector<WPARAM> mouseKeys;
  std::vector<int> commands;
  std::thread::id thread;
  std::atomic<INT_PTR> nested{-100};
};
Seen g_seen;

INT_PTR WatchedSample(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> guard(g_seen.lock);
    g_seen.thread = std::this_thread::get_id();
    if (message == WM_LBUTTONDOWN) g_seen.mouseKeys.push_back(wParam);
    if (message == WM_COMMAND) g_seen.commands.push_back(LOWORD(wParam));
  }
  if (message == WM_COMMAND && LOWORD(wParam) == kNestButton) {
    g_seen.nested = DialogBoxIndirectParamW(nullptr, &kProgress, dialog, ProgressProc, 0);
    return TRUE;
  }
  return SampleDialogProc(dialog, message, wParam, lParam);
}

bool SawCommand(int id) {
  std::lock_guard<std::mutex> guard(g_seen.lock);
  return std::find(g_seen.commands.begin(), g_seen.commands.end(), id) != g_seen.commands.end();
}

QWidget* TopLevel(const char* objectName);

// A thread that waits in a message box or file dialog. Joining answers what
// is still open, so a failed test cannot leave it waiting for ever.
struct Waiter {
  std::atomic<bool> done{false};
  std::thread thread;
  explicit Waiter(std::function<void()> work) : thread([this, work] { work(); done = true; }) {}
  void Join() {
    Pump([this] {
      if (auto* box = qobject_cast<QMessageBox*>(TopLevel("messageBox"))) box->buttons().front()->click();
      if (QWidget* chooser = TopLevel("fileDialog")) chooser->findChild<QPushButton*>("cancel")->click();
      return done.load();
    });
    if (thread.joinable()) thread.join();
  }
  ~Waiter() {
    if (thread.joinable()) Join();
  }
};

template <typename T>
T* Control(HWND dialog, int id) {
  return qobject_cast<T*>(QtControlWidget(dialog, id));
}

QWidget* TopLevel(const char* objectName) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == objectName && w->isVisible()) return w;
  }
  return nullptr;
}

class QtUi : public UiTest {
 protected:
  void SetUp() override {
    App();
    UiTest::SetUp();
    UiSetBackend(QtBackend());
    std::lock_guard<std::mutex> guard(g_seen.lock);
    g_seen.mouseKeys.clear();
    g_seen.commands.clear();
    g_seen.nested = -100;
  }
  void TearDown() override {
    Pump([] {
      std::vector<HWND> open = UiOpenDialogs();
      for (HWND h : open) EndDialog(h, -3);
      return open.empty();
    });
    UiTest::TearDown();
    for (int i = 0; i < 5; i++) QCoreApplication::processEvents();
  }
  // Starts the watched sample dialog and waits until its window shows.
  HWND StartSample(DialogThread* t) {
    t->Start(&kSampleDialog, WatchedSample);
    HWND dialog = nullptr;
    Pump([&] {
      dialog = UiFindDialog(kSampleDialogId);
      return dialog && QtDialogWidget(dialog) && QtDialogWidget(dialog)->isVisible();
    });
    return dialog;
  }
};

TEST_F(QtUi, EveryControlKindAppearsAtItsConvertedPosition) {
  DialogThread t;
  HWND dialog = StartSample(&t);
  ASSERT_NE(dialog, nullptr);
  QWidget* window = QtDialogWidget(dialog);
  EXPECT_EQ(window->objectName(), "dialog_900");
  EXPECT_EQ(window->windowTitle(), "Sample");
  QFontMetrics metrics(window->font());
  DialogBaseUnits base = DialogBaseUnitsOf(metrics.horizontalAdvance(kDialogUnitsAlphabet), metrics.height());
  EXPECT_GE(base.x, 4);
  EXPECT_GE(base.y, 8);
  PixelRect size = DialogUnitsToPixels(0, 0, kSampleDialog.width, kSampleDialog.height, base);
  EXPECT_EQ(window->size(), QSize(size.width, size.height));

  for (size_t i = 0; i < kSampleDialog.controlCount; i++) {
    const DialogControl& c = kSampleDialog.controls[i];
    QString name = c.id == IDC_STATIC ? QString("static_%1").arg(i) : QString::number(c.id);
    QWidget* widget = window->findChild<QWidget*>(name);
    ASSERT_NE(widget, nullptr) << name.toStdString();
    PixelRect r = DialogUnitsToPixels(c.x, c.y, c.width, c.height, base);
    EXPECT_EQ(widget->geometry(), QRect(r.x, r.y, r.width, r.height)) << name.toStdString();
  }
  EXPECT_NE(Control<QGroupBox>(dialog, kSampleGroup), nullptr);
  EXPECT_EQ(Control<QLabel>(dialog, kSampleStatus)->text(), "Nothing selected");
  QListWidget* list = Control<QListWidget>(dialog, kSampleList);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count(), 4);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
  QProgressBar* bar = Control<QProgressBar>(dialog, kSampleProgress);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->value(), 40);
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_TRUE(Control<QPushButton>(dialog, IDOK)->isDefault());
  EXPECT_FALSE(Control<QPushButton>(dialog, kSampleClear)->isEnabled());
  EXPECT_FALSE(Control<QPushButton>(dialog, kSampleSecret)->isVisible());
  EXPECT_TRUE(Control<QPushButton>(dialog, kSampleHide)->isVisible());
}

TEST_F(QtUi, ButtonsSendCommandsAndChangesFromAnyThreadShow) {
  DialogThread t;
  HWND dialog = StartSample(&t);
  ASSERT_NE(dialog, nullptr);
  QPushButton* hide = Control<QPushButton>(dialog, kSampleHide);
  QTest::mouseClick(hide, Qt::LeftButton);
  ASSERT_TRUE(Pump([&] { return !hide->isVisible(); }));
  EXPECT_TRUE(SawCommand(kSampleHide));
  {
    std::lock_guard<std::mutex> guard(g_seen.lock);
    EXPECT_NE(g_seen.thread, std::this_thread::get_id()) << "the procedure runs on the dialog's thread";
  }

  std::thread worker([dialog] {
    SetDlgItemTextW(dialog, kSampleStatus, u"from a worker");
    EnableWindow(GetDlgItem(dialog, kSampleClear), TRUE);
    ShowWindow(GetDlgItem(dialog, kSampleHide), SW_SHOW);
    SetWindowTextW(dialog, u"Renamed");
    SendDlgItemMessageW(dialog, kSampleProgress, PBM_SETPOS, 90, 0);
  });
  worker.join();
  ASSERT_TRUE(Pump([&] { return Control<QLabel>(dialog, kSampleStatus)->text() == "from a worker"; }));
  EXPECT_TRUE(Control<QPushButton>(dialog, kSampleClear)->isEnabled());
  EXPECT_TRUE(hide->isVisible());
  EXPECT_EQ(QtDialogWidget(dialog)->windowTitle(), "Renamed");
  EXPECT_EQ(Control<QProgressBar>(dialog, kSampleProgress)->value(), 90);

  QTest::keyClick(QtDialogWidget(dialog), Qt::Key_Escape);
  ASSERT_TRUE(Pump([&] { return t.finished.load(); }));
  EXPECT_EQ(t.result, 0);
  EXPECT_TRUE(Pump([&] { return TopLevel("dialog_900") == nullptr; })) << "the window goes with the dialog";
}

TEST_F(QtUi, LeftClicksReachTheProcedureWithTheRightButtonShiftAndCtrl) {
  DialogThread t;
  HWND dialog = StartSample(&t);
  ASSERT_NE(dialog, nullptr);
  QWidget* window = QtDialogWidget(dialog);
  // The status text lets presses through to the dialog, as the platform's statics do.
  QPoint onStatus = Control<QLabel>(dialog, kSampleStatus)->geometry().center();

  QTest::mouseClick(window, Qt::LeftButton, Qt::NoModifier, onStatus);
  QMouseEvent withRight(QEvent::MouseButtonPress, QPointF(3, 3), window->mapToGlobal(QPointF(3, 3)), Qt::LeftButton,
                        Qt::LeftButton | Qt::RightButton, Qt::NoModifier);
  QApplication::sendEvent(window, &withRight);
  ASSERT_TRUE(Pump([] {
    std::lock_guard<std::mutex> guard(g_seen.lock);
    return g_seen.mouseKeys.size() == 2;
  }));
  EXPECT_EQ(g_seen.mouseKeys[0], MK_LBUTTON);
  EXPECT_EQ(g_seen.mouseKeys[1], MK_LBUTTON | MK_RBUTTON);
  QPushButton* secret = Control<QPushButton>(dialog, kSampleSecret);
  ASSERT_TRUE(Pump([&] { return secret->isVisible(); }));

  ShowWindow(GetDlgItem(dialog, kSampleSecret), SW_HIDE);
  ASSERT_TRUE(Pump([&] { return !secret->isVisible(); }));
  QTest::mouseClick(window, Qt::LeftButton, Qt::ShiftModifier | Qt::ControlModifier, QPoint(2, 2));
  ASSERT_TRUE(Pump([&] { return secret->isVisible(); }));
  std::lock_guard<std::mutex> guard(g_seen.lock);
  EXPECT_EQ(g_seen.mouseKeys.back(), MK_LBUTTON | MK_SHIFT | MK_CONTROL);
}

TEST_F(QtUi, ExtendedSelectionReportsTheSelectedItems) {
  DialogThread t;
  HWND dialog = StartSample(&t);
  ASSERT_NE(dialog, nullptr);
  QListWidget* list = Control<QListWidget>(dialog, kSampleList);
  QWidget* view = list->viewport();
  auto at = [&](int row) { return list->visualItemRect(list->item(row)).center(); };
  QLabel* status = Control<QLabel>(dialog, kSampleStatus);
  QTest::mouseClick(view, Qt::LeftButton, Qt::NoModifier, at(0));
  QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, at(2));
  ASSERT_TRUE(Pump([&] { return status->text() == "Selected: 0 1 2"; })) << status->text().toStdString();
  QTest::mouseClick(view, Qt::LeftButton, Qt::ControlModifier, at(1));
  QTest::mouseClick(view, Qt::LeftButton, Qt::ControlModifier, at(3));
  ASSERT_TRUE(Pump([&] { return status->text() == "Selected: 0 2 3"; })) << status->text().toStdString();
  int32_t items[8];
  ASSERT_EQ(SendDlgItemMessageW(dialog, kSampleList, LB_GETSELITEMS, 8, reinterpret_cast<LPARAM>(items)), 3);
  EXPECT_EQ(items[0], 0);
  EXPECT_EQ(items[1], 2);
  EXPECT_EQ(items[2], 3);

  // A selection the program makes shows, and notifies nobody.
  std::thread([dialog] { SendDlgItemMessageW(dialog, kSampleList, LB_SELITEMRANGE, TRUE, MAKELPARAM(0, 16)); }).join();
  ASSERT_TRUE(Pump([&] { return list->selectedItems().size() == 4; }));
  for (int i = 0; i < 5; i++) QCoreApplication::processEvents();
  EXPECT_EQ(status->text(), "Selected: 0 2 3");
}

TEST_F(QtUi, MessageBoxStylesMapToButtonsIconAndDefault) {
  struct Case {
    UINT style;
    QMessageBox::Icon icon;
    std::vector<QString> buttons;
    QString defaultButton;
    QString press;
    int answer;
  };
  const Case cases[] = {
      {0x00, QMessageBox::NoIcon, {"button1"}, "button1", "button1", IDOK},
      {0x10, QMessageBox::Critical, {"button1"}, "button1", "button1", IDOK},
      {0x24, QMessageBox::Question, {"button6", "button7"}, "button6", "button7", IDNO},
      {0x124, QMessageBox::Question, {"button6", "button7"}, "button7", "button6", IDYES},
      {0x134, QMessageBox::Warning, {"button6", "button7"}, "button7", "button7", IDNO},
  };
  for (const Case& c : cases) {
    std::atomic<int> answer{-1};
    Waiter asker([&] { answer = MessageBoxW(nullptr, u"Text", u"Caption", c.style); });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(Pump([&] { return (box = qobject_cast<QMessageBox*>(TopLevel("messageBox"))) != nullptr; }))
        << c.style;
    EXPECT_EQ(box->icon(), c.icon) << c.style;
    EXPECT_EQ(box->windowTitle(), "Caption");
    EXPECT_EQ(box->text(), "Text");
    ASSERT_EQ(box->buttons().size(), static_cast<qsizetype>(c.buttons.size())) << c.style;
    for (const QString& name : c.buttons) EXPECT_NE(box->findChild<QPushButton*>(name), nullptr) << c.style;
    ASSERT_NE(box->defaultButton(), nullptr);
    EXPECT_EQ(box->defaultButton()->objectName(), c.defaultButton) << c.style;
    if (c.buttons.size() == 2) {
      // A Yes/No box of the platform cannot be escaped.
      QTest::keyClick(box, Qt::Key_Escape);
      for (int i = 0; i < 5; i++) QCoreApplication::processEvents();
      EXPECT_EQ(answer, -1) << c.style;
    }
    QTest::mouseClick(box->findChild<QPushButton*>(c.press), Qt::LeftButton);
    ASSERT_TRUE(Pump([&] { return answer != -1; })) << c.style;
    asker.Join();
    EXPECT_EQ(answer, c.answer) << c.style;
    Pump([] { return TopLevel("messageBox") == nullptr; });
  }
}

// Every box answers the keyboard the moment it appears: its letters (alone or
// with Alt), and Enter the button with the focus, one box after another.
TEST_F(QtUi, BoxesAnswerTheirKeysAsSoonAsTheyAppear) {
  struct Case {
    UINT style;
    const char* focus;  // the button given the focus first, or null
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int answer;
  };
  const Case cases[] = {
      {MB_YESNO, nullptr, Qt::Key_N, Qt::NoModifier, IDNO},
      {MB_YESNO | MB_DEFBUTTON2, nullptr, Qt::Key_Y, Qt::AltModifier, IDYES},
      {MB_YESNO, "button7", Qt::Key_Return, Qt::NoModifier, IDNO},
      {MB_OKCANCEL | MB_ICONHAND, nullptr, Qt::Key_Space, Qt::NoModifier, IDOK},
  };
  for (const Case& c : cases) {
    std::atomic<int> answer{-1};
    Waiter asker([&] { answer = MessageBoxW(nullptr, u"Text", u"Caption", c.style); });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(Pump([&] {
      box = qobject_cast<QMessageBox*>(TopLevel("messageBox"));
      return box != nullptr && QApplication::activeWindow() == box && QApplication::focusWidget() != nullptr;
    })) << c.style;
    if (c.focus != nullptr) box->findChild<QPushButton*>(c.focus)->setFocus();
    QTest::keyClick(QApplication::focusWidget(), c.key, c.modifiers);
    ASSERT_TRUE(Pump([&] { return answer != -1; })) << c.style;
    asker.Join();
    EXPECT_EQ(answer, c.answer) << c.style;
    Pump([] { return TopLevel("messageBox") == nullptr; });
  }
}

// Enter presses the push button with the focus, not the default one.
TEST_F(QtUi, EnterPressesTheFocusedButton) {
  DialogThread t;
  HWND dialog = StartSample(&t);
  ASSERT_NE(dialog, nullptr);
  QPushButton* hide = Control<QPushButton>(dialog, kSampleHide);
  ASSERT_TRUE(Pump([&] { return QApplication::activeWindow() == QtDialogWidget(dialog); }));
  hide->setFocus();
  QTest::keyClick(hide, Qt::Key_Return);
  ASSERT_TRUE(Pump([&] { return SawCommand(kSampleHide); }));
  EXPECT_FALSE(SawCommand(IDOK));
}

TEST_F(QtUi, WorkerThreadsDriveAModalProgressWindowAndBoxesOwnedByDialogs) {
  DialogThread owner;
  HWND main = StartSample(&owner);
  ASSERT_NE(main, nullptr);
  // The progress window runs modally on a thread of its own, owned by a
  // dialog of another thread.
  DialogThread progressThread;
  progressThread.Start(&kProgress, ProgressProc, 0, main);
  HWND progress = nullptr;
  ASSERT_TRUE(Pump([&] { return (progress = UiFindDialog(kProgressId)) && QtDialogWidget(progress); }));
  QWidget* progressWindow = QtDialogWidget(progress);
  EXPECT_EQ(progressWindow->parentWidget(), QtDialogWidget(main));
  EXPECT_EQ(progressWindow->windowModality(), Qt::WindowModal);
  EXPECT_FALSE(IsWindowEnabled(main));
  EXPECT_FALSE(Control<QPushButton>(progress, IDCANCEL)->isVisible());
  EXPECT_TRUE(Pump([&] { return QApplication::activeWindow() == progressWindow; }))
      << "a new window takes the keyboard";
  // Without a system menu it cannot be closed or resized: no such buttons.
  // One that works is needed, as window managers give a window without any
  // caption button all of them.
  Qt::WindowFlags flags = progressWindow->windowFlags();
  EXPECT_FALSE(flags & (Qt::WindowCloseButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);

  // The flow's thread updates it while the GUI thread renders.
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  Waiter flow([&] {
    SetWindowTextW(progress, u"Image Update");
    SendDlgItemMessageW(progress, kUpperBar, PBM_SETRANGE32, 0, 5120);
    for (int i = 0; !stop && rounds < kMaxRounds; i = (i + 64) % 5120) {
      SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, static_cast<WPARAM>(i), 0);
      SetDlgItemTextW(progress, kUpper, i % 2 ? u"odd" : u"Section Start: 00040000\nSection Len: 00c00000");
      rounds++;
    }
    SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, 5000, 0);
  });
  ASSERT_TRUE(Pump([&] { return rounds > 200; }));
  stop = true;
  flow.Join();
  ASSERT_TRUE(Pump([&] { return Control<QProgressBar>(progress, kUpperBar)->value() == 5000; }));
  EXPECT_EQ(progressWindow->windowTitle(), "Image Update");
  EXPECT_EQ(Control<QProgressBar>(progress, kUpperBar)->maximum(), 5120);

  // An error shown by the flow is modal to the dialog that owns it.
  std::atomic<int> answer{-1};
  Waiter asker([&] { answer = MessageBoxW(main, u"Flash erase failed", u"ERROR", MB_ICONHAND); });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(Pump([&] { return (box = qobject_cast<QMessageBox*>(TopLevel("messageBox"))) != nullptr; }));
  EXPECT_EQ(box->parentWidget(), QtDialogWidget(main));
  EXPECT_EQ(box->windowModality(), Qt::WindowModal);
  ASSERT_TRUE(Pump([&] { return QApplication::activeWindow() == box && QApplication::focusWidget(); }));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  ASSERT_TRUE(Pump([&] { return answer != -1; }));
  asker.Join();
  EXPECT_EQ(answer, IDOK);
  EXPECT_TRUE(Pump([&] { return QApplication::activeWindow() == progressWindow; }))
      << "the keyboard goes back to the modal window still open";

  // The flow ends the window; its later calls fail without harm.
  EXPECT_TRUE(EndDialog(progress, 0));
  ASSERT_TRUE(Pump([&] { return progressThread.finished.load(); }));
  EXPECT_FALSE(SetDlgItemTextW(progress, kUpper, u"late"));
  EXPECT_EQ(SendDlgItemMessageW(progress, kUpperBar, PBM_SETPOS, 1, 0), 0);
  ASSERT_TRUE(Pump([&] { return IsWindowEnabled(main) != FALSE; }));
  EXPECT_TRUE(Pump([&] { return QApplication::activeWindow() == QtDialogWidget(main); }));

  // A second modal dialog opened from a dialog procedure.
  ASSERT_TRUE(PostMessageW(main, WM_COMMAND, MAKEWPARAM(kNestButton, BN_CLICKED), 0));
  HWND nested = nullptr;
  ASSERT_TRUE(Pump([&] { return (nested = UiFindDialog(kProgressId)) && QtDialogWidget(nested); }));
  EXPECT_EQ(QtDialogWidget(nested)->parentWidget(), QtDialogWidget(main));
  EndDialog(nested, 12);
  ASSERT_TRUE(Pump([] { return g_seen.nested == 12; }));
}

TEST_F(QtUi, TheFileChooserBrowsesTheModuleAndReturnsItsPath) {
  ASSERT_TRUE(AttachModuleWithImages());
  WCHAR file[MAX_PATH] = {};
  OPENFILENAMEW ofn = ImageOpenRequest(file, u"\\UiTest");
  std::atomic<int> chosen{-1};
  Waiter opener([&] { chosen = GetOpenFileNameW(&ofn); });
  QWidget* chooser = nullptr;
  ASSERT_TRUE(Pump([&] { return (chooser = TopLevel("fileDialog")) != nullptr; }));
  EXPECT_EQ(chooser->windowTitle(), "Open");
  EXPECT_EQ(chooser->findChild<QLineEdit*>("folder")->text(), "\\UiTest");
  EXPECT_EQ(chooser->findChild<QComboBox*>("filter")->currentText(), "IMAGE files (*.bin)");
  EXPECT_EQ(chooser->findChild<QCheckBox*>(), nullptr) << "no read-only box: nothing reads it";
  QTreeWidget* entries = chooser->findChild<QTreeWidget*>("entries");
  ASSERT_EQ(entries->topLevelItemCount(), 1);
  EXPECT_EQ(entries->topLevelItem(0)->text(0), "IMAGES\\");
  // The keyboard starts in the name field: a typed folder is entered, a
  // typed file name is the answer.
  ASSERT_TRUE(Pump([&] { return QApplication::activeWindow() == chooser; }));
  QLineEdit* name = chooser->findChild<QLineEdit*>("fileName");
  ASSERT_EQ(QApplication::focusWidget(), name);
  QTest::keyClicks(name, "IMAGES");
  QTest::keyClick(name, Qt::Key_Return);
  ASSERT_TRUE(Pump([&] { return chooser->findChild<QLineEdit*>("folder")->text() == "\\UiTest\\IMAGES"; }));
  ASSERT_EQ(entries->topLevelItemCount(), 1);
  QTreeWidgetItem* image = entries->topLevelItem(0);
  EXPECT_EQ(image->text(0), "nk.bin");
  EXPECT_EQ(image->text(1), QLocale().toString(0)) << "its size";
  EXPECT_TRUE(QDateTime::fromString(image->text(2), "yyyy-MM-dd HH:mm").isValid()) << image->text(2).toStdString();
  ASSERT_EQ(QApplication::focusWidget(), name);
  QTest::keyClicks(name, "nk.bin");
  QTest::keyClick(name, Qt::Key_Return);
  ASSERT_TRUE(Pump([&] { return chosen != -1; }));
  opener.Join();
  EXPECT_EQ(chosen, TRUE);
  EXPECT_TRUE(std::u16string(file) == u"\\UiTest\\IMAGES\\nk.bin");

  // A proposed name survives going into a folder.
  TextCopy(file, MAX_PATH, u"backup.bin");
  Waiter canceller([&] { chosen = GetSaveFileNameW(&ofn); });
  ASSERT_TRUE(Pump([&] { return (chooser = TopLevel("fileDialog")) != nullptr; }));
  entries = chooser->findChild<QTreeWidget*>("entries");
  ASSERT_EQ(entries->topLevelItemCount(), 1);
  QTest::mouseClick(entries->viewport(), Qt::LeftButton, Qt::NoModifier,
                    entries->visualItemRect(entries->topLevelItem(0)).center());
  QTest::keyClick(entries, Qt::Key_Return);
  ASSERT_TRUE(Pump([&] { return chooser->findChild<QLineEdit*>("folder")->text() == "\\UiTest\\IMAGES"; }));
  EXPECT_EQ(chooser->findChild<QLineEdit*>("fileName")->text(), "backup.bin");
  QTest::mouseClick(chooser->findChild<QPushButton*>("cancel"), Qt::LeftButton);
  ASSERT_TRUE(Pump([&] { return chosen == FALSE; }));
  canceller.Join();
  PlatformDetachModule();
}

// The host's way: the program's entry on a second thread, Qt's event loop
// on this one until the entry returns.
std::atomic<std::thread::id> g_entryThread;
int ShowsABox(void*) {
  g_entryThread = std::this_thread::get_id();
  return MessageBoxW(nullptr, u"Registry successfully saved", u"Registry", MB_OK) + 6;
}

TEST_F(QtUi, TheHostRunsTheEntryBesideTheEventLoopAndKeepsItsResult) {
  QTimer clicker;
  QObject::connect(&clicker, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(TopLevel("messageBox"))) box->buttons().front()->click();
  });
  clicker.start(5);
  EXPECT_EQ(QtRunProgram(ShowsABox, nullptr), 7);
  EXPECT_NE(g_entryThread.load(), std::this_thread::get_id());
}

// In a process of its own: no QApplication until the first window needs it.
int ShowsTheSample(void*) {
  bool madeLazily = QCoreApplication::instance() == nullptr;
  std::thread closer([] {
    HWND dialog = WaitForDialog(kSampleDialogId);
    auto onScreen = std::make_shared<std::atomic<bool>>(false);
    QtPost([dialog, onScreen] { *onScreen = QtDialogWidget(dialog) && QtDialogWidget(dialog)->isVisible(); });
    WaitUntil([&] { return onScreen->load(); });
    EndDialog(dialog, *onScreen ? 30 : 1);
  });
  INT_PTR result = DialogBoxIndirectParamW(nullptr, &kSampleDialog, nullptr, SampleDialogProc, 0);
  closer.join();
  return static_cast<int>(result) + (madeLazily ? 3 : 0);
}

TEST(QtHost, TheApplicationIsMadeOnTheMainThreadWhenTheFirstWindowOpens) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
        UiSetBackend(QtBackend());
        std::exit(QtRunProgram(ShowsTheSample, nullptr));
      },
      ::testing::ExitedWithCode(33), "");
}

TEST_F(QtUi, TheSampleDialogRendersToAPng) {
  std::string path = MakeTempDir("fwshot") + "/sample.png";
  const RenderableDialog* sample = nullptr;
  UiRegisterBuiltinRenderables();
  ASSERT_NE(sample = UiFindRenderable("sample"), nullptr);
  std::string error;
  ASSERT_TRUE(UiRenderDialogToPng(*sample, path, &error)) << error;
  QImage image(QString::fromStdString(path));
  ASSERT_FALSE(image.isNull());
  EXPECT_GT(image.width(), 150);
  EXPECT_GT(image.height(), 150);
  EXPECT_EQ(UiFindRenderable("nothing"), nullptr);
}

}  // namespace
