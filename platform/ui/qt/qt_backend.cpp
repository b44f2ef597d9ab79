// The Qt backend's entries. Everything that touches widgets is posted to the
// GUI thread and never waited for with a blocking connection: a thread that
// needs an answer (message box, file) waits in the window model, which keeps
// the event loop running when the waiter is the GUI thread itself. So two
// windows answered in any order never block each other.
#include "platform/ui/qt/qt_backend.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "platform/ui/message_box.h"
#include "platform/ui/qt/qt_internal.h"

namespace {

// What a waiting caller and the GUI thread share; outlives whichever ends first.
struct QtAnswer {
  bool done = false;
  int answer = 0;
  bool accepted = false;
  std::u16string path;
  UiFileRequest request;
};

struct QtBackendState {
  // Guarded by the model's lock (dialogChanged runs under it).
  std::set<HWND> dirty;
  bool syncPosted = false;
  // The host's lazy start of the GUI thread.
  std::mutex startLock;
  std::condition_variable startChanged;
  bool hostMode = false;
  bool startRequested = false;
  bool appReady = false;
  bool entryDone = false;
};

// Never destroyed: flows may still post while the process exits.
QtBackendState& g_qt = *new QtBackendState;

// A QApplication exists, or the host makes one on request.
bool Ready() {
  if (QCoreApplication::instance()) return true;
  std::unique_lock<std::mutex> lock(g_qt.startLock);
  if (!g_qt.hostMode) return false;
  g_qt.startRequested = true;
  g_qt.startChanged.notify_all();
  g_qt.startChanged.wait(lock, [] { return g_qt.appReady; });
  return QCoreApplication::instance() != nullptr;
}

void Shown(HWND dialog) {
  QtPost([dialog] { QtCreateDialog(dialog); });
}

void Changed(HWND dialog, int, UiChange) {
  g_qt.dirty.insert(dialog);
  if (g_qt.syncPosted) return;
  g_qt.syncPosted = QtPost([] { QtSyncDialogs(); });
}

void Closed(HWND dialog, INT_PTR) {
  QtPost([dialog] { QtDestroyDialog(dialog); });
}

// The button of `box` a key answers, or null: Enter and Space the focused
// button (else the default one), a letter, alone or with Alt, the button it
// begins (a box's buttons begin with different letters), as on the platform.
QAbstractButton* BoxKeyTarget(QMessageBox* box, const QKeyEvent* key) {
  if (key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) return nullptr;
  int code = key->key();
  if (code == Qt::Key_Return || code == Qt::Key_Enter || code == Qt::Key_Space) {
    auto* focused = qobject_cast<QAbstractButton*>(QApplication::focusWidget());
    if (focused != nullptr && box->buttons().contains(focused)) return focused;
    return box->defaultButton();
  }
  if (code < Qt::Key_A || code > Qt::Key_Z) return nullptr;
  QChar letter(u'a' + (code - Qt::Key_A));
  for (QAbstractButton* b : box->buttons()) {
    if (!b->text().isEmpty() && b->text()[0].toLower() == letter) return b;
  }
  return nullptr;
}

// A box takes the keyboard once it is on screen: activating it before the
// window system shows it can be lost, or undone by the window that closed
// just before it giving the keyboard back to its owner.
bool BoxEvent(QMessageBox* box, QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Show && watched == box) {
    QMetaObject::invokeMethod(
        box,
        [box] {
          QtActivate(box);
          QAbstractButton* start = box->defaultButton() ? box->defaultButton() : box->buttons().value(0);
          if (start != nullptr) start->setFocus(Qt::ActiveWindowFocusReason);
        },
        Qt::QueuedConnection);
    return false;
  }
  if (event->type() != QEvent::KeyPress) return false;
  QAbstractButton* target = BoxKeyTarget(box, static_cast<QKeyEvent*>(event));
  if (target == nullptr) return false;
  target->click();
  return true;
}

QMessageBox::Icon IconOf(UiIcon icon) {
  switch (icon) {
    case UiIcon::Error:
      return QMessageBox::Critical;
    case UiIcon::Question:
      return QMessageBox::Question;
    case UiIcon::Warning:
      return QMessageBox::Warning;
    case UiIcon::Information:
      return QMessageBox::Information;
    case UiIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

void OpenMessageBox(const UiMessageBox& box, std::shared_ptr<QtAnswer> answer) {
  QWidget* parent = QtOwnerWidget(box.owner);
  auto* mb = new QMessageBox(IconOf(box.icon), QtString(box.caption), QtString(box.text), QMessageBox::NoButton, parent);
  mb->setObjectName("messageBox");
  mb->setAttribute(Qt::WA_DeleteOnClose);
  mb->setWindowModality(parent ? Qt::WindowModal : Qt::NonModal);
  std::vector<std::pair<QAbstractButton*, int>> buttons;
  for (int i = 0; i < box.buttonCount; i++) {
    // ActionRole keeps Qt from making a No button the Escape answer: a Yes/No
    // box of the platform cannot be escaped.
    QPushButton* b = mb->addButton(QtString(MessageBoxButtonText(box.buttons[i])), QMessageBox::ActionRole);
    b->setObjectName(QString("button%1").arg(box.buttons[i]));
    buttons.emplace_back(b, box.buttons[i]);
    if (box.buttons[i] == box.defaultButton) mb->setDefaultButton(b);
    if (box.buttons[i] == box.escapeAnswer) mb->setEscapeButton(b);
  }
  // On the box and its buttons, which see a key first when they have the focus.
  auto* hook = new QtEventHook([mb](QObject* watched, QEvent* event) { return BoxEvent(mb, watched, event); }, mb);
  mb->installEventFilter(hook);
  for (const auto& entry : buttons) entry.first->installEventFilter(hook);
  QPointer<QWidget> owner = parent;
  QObject::connect(mb, &QMessageBox::buttonClicked, mb, [answer, buttons](QAbstractButton* clicked) {
    if (answer->done) return;
    for (const auto& [button, id] : buttons) {
      if (button == clicked) answer->answer = id;
    }
    UiSignal(&answer->done);
  });
  QObject::connect(mb, &QDialog::finished, [owner] { QtReturnFocus(owner); });
  mb->open();
  QtActivate(mb);
}

int AskBox(const UiMessageBox& box) {
  auto answer = std::make_shared<QtAnswer>();
  answer->answer = box.defaultButton;
  if (!QtPost([box, answer] { OpenMessageBox(box, answer); })) return 0;
  UiWaitFor(&answer->done);
  return answer->answer;
}

bool ChooseFile(UiFileRequest* request, std::u16string* path) {
  auto answer = std::make_shared<QtAnswer>();
  UiFileRequest copy = *request;
  bool posted = QtPost([copy, answer] {
    QtOpenFileChooser(copy, [answer](bool accepted, const UiFileRequest& final, const std::u16string& chosen) {
      answer->accepted = accepted;
      answer->path = chosen;
      answer->request = final;
      UiSignal(&answer->done);
    });
  });
  if (!posted) return false;
  UiWaitFor(&answer->done);
  *path = answer->path;
  request->filterIndex = answer->request.filterIndex;
  request->readOnlyTicked = answer->request.readOnlyTicked;
  return answer->accepted;
}

bool OwnsThread() { return QCoreApplication::instance() && QtOnGuiThread(); }

void Pump() { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); }

void Wake() {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
  }
}

const UiBackendOps kQtOps = {
    "qt", Ready, Shown, Changed, Closed, nullptr, AskBox, ChooseFile, OwnsThread, Pump, Wake,
};

}  // namespace

const UiBackendOps* QtBackend() { return &kQtOps; }

bool QtPost(std::function<void()> work) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return false;
  return QMetaObject::invokeMethod(app, std::move(work), Qt::QueuedConnection);
}

void QtActivate(QWidget* window) { window->activateWindow(); }

void QtReturnFocus(QWidget* owner) {
  QWidget* next = QApplication::activeModalWidget();
  if (next == nullptr) next = owner;
  if (next != nullptr) QtActivate(next);
}

bool QtOnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

void QtSyncDialogs() {
  std::vector<UiDialogState> states;
  {
    auto lock = UiLock();
    g_qt.syncPosted = false;
    for (HWND h : g_qt.dirty) {
      if (UiDialogState* d = UiResolveLocked(h, nullptr)) states.push_back(*d);
    }
    g_qt.dirty.clear();
  }
  for (const UiDialogState& s : states) QtApplyState(s);
}

QtEventHook::QtEventHook(std::function<bool(QObject*, QEvent*)> handler, QObject* parent)
    : QObject(parent), handler_(std::move(handler)) {}

bool QtEventHook::eventFilter(QObject* watched, QEvent* event) { return handler_(watched, event); }

QString QtString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string QtText(const QString& text) {
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

int QtRunProgram(int (*entry)(void* context), void* context) {
  {
    std::lock_guard<std::mutex> guard(g_qt.startLock);
    g_qt.hostMode = true;
    g_qt.startRequested = false;
    g_qt.appReady = false;
    g_qt.entryDone = false;
  }
  int result = 0;
  std::thread program([&] {
    result = entry(context);
    std::lock_guard<std::mutex> guard(g_qt.startLock);
    g_qt.entryDone = true;
    g_qt.startChanged.notify_all();
    if (QCoreApplication* app = QCoreApplication::instance()) {
      QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
  });
  {
    std::unique_lock<std::mutex> lock(g_qt.startLock);
    if (QCoreApplication::instance() == nullptr) {
      g_qt.startChanged.wait(lock, [] { return g_qt.startRequested || g_qt.entryDone; });
      if (g_qt.startRequested && !g_qt.entryDone) {
        // The application object lives as long as the process: flows may
        // still post to it while the process ends.
        static int argc = 1;
        static char name[] = "flashwright";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
      }
    }
    g_qt.appReady = true;
    g_qt.startChanged.notify_all();
  }
  if (QCoreApplication::instance()) {
    bool done;
    {
      std::lock_guard<std::mutex> guard(g_qt.startLock);
      done = g_qt.entryDone;
    }
    // The entry posts the quit when it returns, whether or not exec runs yet.
    if (!done) QCoreApplication::exec();
  }
  program.join();
  return result;
}
