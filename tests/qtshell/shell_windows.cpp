#include "tests/qtshell/shell_windows.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "app/backup_dialog.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "app/runner.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui/backend.h"
#include "platform/ui/qt/qt_backend.h"
#include "platform/ui/qt/qt_internal.h"
#include "platform/ui/ui_backend.h"
#include "platform/ui/window_model.h"
#include "tests/support/shell_layers.h"
#include "tests/support/temp_module.h"

namespace {

constexpr int kEventSliceMs = 5;
constexpr auto kIdlePause = std::chrono::milliseconds(1);
// A press this far into the window's corner hits no control.
constexpr qreal kBackgroundPixel = 2;
// Teardown: how often a dialog is sent Escape, and how long the program may
// take to end once every dialog was ended by force.
constexpr auto kEscapeInterval = std::chrono::milliseconds(200);
constexpr int kLastChanceMs = 5000;
constexpr INT_PTR kAbandoned = -3;

// The Qt backend with a count of what the program opened, taken where the
// window system hands it over, so that even a window that closes before Qt
// drew it is seen.
struct Observed {
  std::mutex lock;
  std::map<WORD, int> dialogsShown;
  int fileDialogs = 0;
  std::vector<std::string> messages;
  UiBackendOps ops = {};
};
Observed g_observed;

void ObservedDialogShown(HWND dialog) {
  UiDialogState state;
  if (UiSnapshotDialog(dialog, &state)) {
    std::lock_guard<std::mutex> guard(g_observed.lock);
    g_observed.dialogsShown[state.templateId]++;
  }
  QtBackend()->dialogShown(dialog);
}

int ObservedMessageBox(const UiMessageBox& box) {
  {
    std::lock_guard<std::mutex> guard(g_observed.lock);
    g_observed.messages.push_back(Utf16ToUtf8(box.caption) + ": " + Utf16ToUtf8(box.text));
  }
  return QtBackend()->messageBox(box);
}

bool ObservedChooseFile(UiFileRequest* request, std::u16string* path) {
  {
    std::lock_guard<std::mutex> guard(g_observed.lock);
    g_observed.fileDialogs++;
  }
  return QtBackend()->chooseFile(request, path);
}

void ObserveQtBackend() {
  std::lock_guard<std::mutex> guard(g_observed.lock);
  g_observed.dialogsShown.clear();
  g_observed.fileDialogs = 0;
  g_observed.messages.clear();
  g_observed.ops = *QtBackend();
  g_observed.ops.dialogShown = ObservedDialogShown;
  g_observed.ops.messageBox = ObservedMessageBox;
  g_observed.ops.chooseFile = ObservedChooseFile;
  UiSetBackend(&g_observed.ops);
}

QApplication* App() {
  static QApplication* app = [] {
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "test_qtshell";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  return app;
}

bool AnyProgramWindowShown() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (!w->isVisible()) continue;
    const QString name = w->objectName();
    if (name.startsWith("dialog_") || name == "messageBox" || name == "fileDialog") return true;
  }
  return false;
}

// The chooser reports a refused name in a box of its own that runs a nested
// event loop; left open it would stop the test inside the click.
void CloseChooserProblemBoxes() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box == nullptr || !box->isVisible() || box->objectName() == "messageBox") continue;
    ADD_FAILURE() << "the file dialog refused the name: " << box->text().toStdString();
    box->done(0);
  }
}

}  // namespace

bool Pump(const std::function<bool()>& condition, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, kEventSliceMs);
    std::this_thread::sleep_for(kIdlePause);
  }
  return true;
}

QWidget* ShownWindow(const QString& objectName) {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->objectName() == objectName && w->isVisible()) return w;
  }
  return nullptr;
}

QWidget* ControlWidget(HWND dialog, int id) { return QtControlWidget(dialog, id); }

QString WindowTitle(HWND dialog) {
  QWidget* window = QtDialogWidget(dialog);
  return window ? window->windowTitle() : QString("<no window>");
}

QString LabelText(HWND dialog, int id) {
  QLabel* label = Control<QLabel>(dialog, id);
  return label ? label->text() : QString("<no label %1>").arg(id);
}

std::vector<QString> ListTexts(HWND dialog, int id) {
  std::vector<QString> texts;
  if (QListWidget* list = Control<QListWidget>(dialog, id)) {
    for (int row = 0; row < list->count(); row++) texts.push_back(list->item(row)->text());
  }
  return texts;
}

bool TakesInput(HWND dialog) {
  UiDialogState state;
  return UiSnapshotDialog(dialog, &state) && UiDialogTakesInput(state);
}

void QtShell::SetUp() {
  App();
  UiResetForTests();
  ResetShellLayersForTests();
  ObserveQtBackend();
}

void QtShell::TearDown() {
  if (program_.joinable()) {
    auto answerAll = [this] {
      AnswerWhateverIsOpen();
      return programDone_.load();
    };
    bool ended = Pump(answerAll);
    if (!ended) {
      for (HWND h : UiOpenDialogs()) EndDialog(h, kAbandoned);
      ended = Pump(answerAll, kLastChanceMs);
    }
    if (!ended) {
      // A program thread left behind would run into the next test's module.
      std::fprintf(stderr, "the program did not end; stopping the test run rather than hanging\n");
      std::abort();
    }
    program_.join();
  }
  // The widgets go before the window system forgets their handles.
  Pump([] { return !AnyProgramWindowShown(); }, kLastChanceMs);
  ResetShellLayersForTests();
  PlatformDetachModule();
  UiResetForTests();
}

void QtShell::AnswerWhateverIsOpen() {
  if (auto* box = qobject_cast<QMessageBox*>(ShownWindow("messageBox"))) {
    QPushButton* no = box->findChild<QPushButton*>(QString("button%1").arg(IDNO));
    if (no != nullptr) no->click();
    else if (!box->buttons().isEmpty()) box->buttons().front()->click();
  }
  if (QWidget* chooser = ShownWindow("fileDialog")) {
    if (auto* cancel = chooser->findChild<QPushButton*>("cancel")) cancel->click();
  }
  auto now = std::chrono::steady_clock::now();
  if (now - lastEscape_ < kEscapeInterval) return;
  lastEscape_ = now;
  std::vector<HWND> open = UiOpenDialogs();
  for (auto it = open.rbegin(); it != open.rend(); ++it) {
    if (UiUserEscape(*it)) return;
  }
}

HWND QtShell::StartProgram(std::vector<std::string> settings) {
  settings.push_back("faults.restart_returns=true");
  dir_ = AttachTempModuleWith(settings);
  if (dir_.empty()) return nullptr;
  programDone_ = false;
  program_ = std::thread([this] {
    programResult_ = RunCommands(nullptr);
    programDone_ = true;
  });
  return WaitForDialog(IDD_MAIN);
}

int QtShell::StopProgram() {
  // A flow closes its progress window only after its last message.
  if (!Pump([] { return UiFindDialog(IDD_PROGRESS) == nullptr; })) {
    ADD_FAILURE() << "the progress window stayed open";
    return -1;
  }
  std::vector<HWND> open = UiOpenDialogs();
  for (auto it = open.rbegin(); it != open.rend(); ++it) {
    if (!CloseWithEscape(*it)) return -1;
  }
  if (!program_.joinable() || !Pump([this] { return programDone_.load(); })) return -1;
  program_.join();
  return programResult_;
}

HWND QtShell::WaitForDialog(WORD templateId) {
  HWND found = nullptr;
  bool shown = Pump([&] {
    found = UiFindDialog(templateId);
    return found != nullptr && QtDialogWidget(found) != nullptr && QtDialogWidget(found)->isVisible();
  });
  if (!shown) {
    ADD_FAILURE() << "dialog " << templateId << " did not show";
    return nullptr;
  }
  return found;
}

bool QtShell::Click(HWND dialog, int id) {
  QPushButton* button = nullptr;
  bool ready = Pump([&] {
    button = Control<QPushButton>(dialog, id);
    return button != nullptr && button->isVisible() && button->isEnabled() && TakesInput(dialog);
  });
  if (!ready) {
    ADD_FAILURE() << "button " << id << " never became usable";
    return false;
  }
  QTest::mouseClick(button, Qt::LeftButton);
  return true;
}

bool QtShell::ClickRow(HWND dialog, int listId, int row, Qt::KeyboardModifiers modifiers) {
  QListWidget* list = nullptr;
  bool ready = Pump([&] {
    list = Control<QListWidget>(dialog, listId);
    return list != nullptr && row < list->count() && TakesInput(dialog);
  });
  if (!ready) {
    ADD_FAILURE() << "list " << listId << " has no usable entry " << row;
    return false;
  }
  QPoint at = list->visualItemRect(list->item(row)).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, at);
  return true;
}

bool QtShell::SelectRows(HWND dialog, int listId, const std::vector<int>& rows) {
  for (size_t i = 0; i < rows.size(); i++) {
    if (!ClickRow(dialog, listId, rows[i], i == 0 ? Qt::NoModifier : Qt::ControlModifier)) return false;
  }
  return true;
}

void QtShell::PressBackground(HWND dialog, Qt::MouseButtons held, Qt::KeyboardModifiers modifiers) {
  ASSERT_TRUE(Pump([&] { return TakesInput(dialog); }));
  QWidget* window = QtDialogWidget(dialog);
  ASSERT_NE(window, nullptr);
  QPointF at(kBackgroundPixel, kBackgroundPixel);
  QPointF global = window->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, held | Qt::LeftButton, modifiers);
  QApplication::sendEvent(window, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, held & ~Qt::LeftButton, modifiers);
  QApplication::sendEvent(window, &release);
}

bool QtShell::CloseWithEscape(HWND dialog) {
  auto ready = [&] { return IsWindow(dialog) == FALSE || (TakesInput(dialog) && QtDialogWidget(dialog) != nullptr); };
  if (!Pump(ready)) {
    ADD_FAILURE() << "the dialog never took the Escape key";
    return false;
  }
  if (IsWindow(dialog) == FALSE) return true;
  QTest::keyClick(QtDialogWidget(dialog), Qt::Key_Escape);
  return Pump([&] { return IsWindow(dialog) == FALSE; });
}

HWND QtShell::OpenBackupDialog(HWND main) {
  if (!Click(main, IDC_MAIN_BACKUP)) return nullptr;
  return WaitForDialog(IDD_BACKUP);
}

bool HasKeyboard(QWidget* window) {
  return window != nullptr && Pump([&] {
           QWidget* focus = QApplication::focusWidget();
           return QApplication::activeWindow() == window && focus != nullptr && focus->window() == window;
         });
}

QWidget* DialogWindow(HWND dialog) { return QtDialogWidget(dialog); }

void PressKey(Qt::Key key, Qt::KeyboardModifiers modifiers) {
  if (QWidget* focus = QApplication::focusWidget()) QTest::keyClick(focus, key, modifiers);
}

void TypeText(const QString& text) {
  if (QWidget* focus = QApplication::focusWidget()) QTest::keyClicks(focus, text);
}

QMessageBox* QtShell::WaitForMessageBox() {
  QMessageBox* box = nullptr;
  if (!Pump([&] { return (box = qobject_cast<QMessageBox*>(ShownWindow("messageBox"))) != nullptr; })) {
    ADD_FAILURE() << "no message box came";
    return nullptr;
  }
  return box;
}

bool QtShell::Answer(QMessageBox* box, int answer) {
  if (box == nullptr) return false;
  QPushButton* button = box->findChild<QPushButton*>(QString("button%1").arg(answer));
  if (button == nullptr) {
    ADD_FAILURE() << "the box \"" << box->text().toStdString() << "\" has no answer " << answer;
    return false;
  }
  QPointer<QMessageBox> watched(box);
  QTest::mouseClick(button, Qt::LeftButton);
  return Pump([&] { return watched.isNull() || !watched->isVisible(); });
}

QWidget* QtShell::WaitForFileDialog() {
  QWidget* chooser = nullptr;
  if (!Pump([&] { return (chooser = ShownWindow("fileDialog")) != nullptr; })) {
    ADD_FAILURE() << "no file dialog came";
    return nullptr;
  }
  return chooser;
}

bool QtShell::AcceptFile(QWidget* chooser, const QString& name) {
  if (chooser == nullptr) return false;
  auto* field = chooser->findChild<QLineEdit*>("fileName");
  auto* ok = chooser->findChild<QPushButton*>("ok");
  if (field == nullptr || ok == nullptr) {
    ADD_FAILURE() << "the file dialog lacks its name field or OK button";
    return false;
  }
  if (!name.isEmpty()) field->setText(name);
  QTimer guard;
  QObject::connect(&guard, &QTimer::timeout, CloseChooserProblemBoxes);
  guard.start(kEventSliceMs * 10);
  QPointer<QWidget> watched(chooser);
  QTest::mouseClick(ok, Qt::LeftButton);
  return Pump([&] { return watched.isNull() || !watched->isVisible(); });
}

std::vector<std::string> QtShell::Messages() {
  std::lock_guard<std::mutex> guard(g_observed.lock);
  return g_observed.messages;
}

int QtShell::DialogsShown(WORD templateId) {
  std::lock_guard<std::mutex> guard(g_observed.lock);
  auto it = g_observed.dialogsShown.find(templateId);
  return it == g_observed.dialogsShown.end() ? 0 : it->second;
}

int QtShell::FileDialogsShown() {
  std::lock_guard<std::mutex> guard(g_observed.lock);
  return g_observed.fileDialogs;
}

std::vector<uint8_t> QtShell::Flash() const {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!BinImageReadFile(ModuleFlashPath(dir_), &bytes, &error)) ADD_FAILURE() << error;
  return bytes;
}

std::string QtShell::StorePath(const std::string& relative) const { return ModuleRootPath(dir_) + "/" + relative; }

std::vector<uint8_t> QtShell::StoreFile(const std::string& relative) const {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!BinImageReadFile(StorePath(relative), &bytes, &error)) ADD_FAILURE() << error;
  return bytes;
}
