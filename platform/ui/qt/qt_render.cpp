// Screenshots of dialogs and message boxes for the docs. The dialog or the
// scene runs as the program runs it, on a thread of its own; the GUI thread
// waits until the window is on screen, grabs its client area and draws a
// caption bar around it (offscreen windows have no frame).
#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "platform/ui/qt/qt_backend.h"
#include "platform/ui/qt/qt_internal.h"
#include "platform/ui/renderable.h"

namespace {

constexpr int kRenderTimeoutMs = 10000;
constexpr int kPumpSliceMs = 10;
constexpr int kSettleRounds = 5;
constexpr int kBorder = 2;
constexpr int kCaptionPadding = 6;
constexpr int kCloseMargin = 4;
const QColor kCaptionColor(0x1f, 0x4e, 0x8c);
const QColor kFrameColor(0x40, 0x40, 0x40);

bool PumpUntil(const std::function<bool()>& condition, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, kPumpSliceMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

QImage Framed(const QPixmap& client, const QString& title, bool closeBox, const QFont& font) {
  QFont captionFont = font;
  captionFont.setBold(true);
  QFontMetrics metrics(captionFont);
  int caption = metrics.height() + 2 * kCaptionPadding;
  int width = client.width() + 2 * kBorder;
  int height = client.height() + caption + 2 * kBorder;
  QImage image(width, height, QImage::Format_ARGB32);
  image.fill(kFrameColor);
  QPainter painter(&image);
  painter.fillRect(kBorder, kBorder, width - 2 * kBorder, caption, kCaptionColor);
  painter.setPen(Qt::white);
  painter.setFont(captionFont);
  painter.drawText(QRect(kBorder + kCaptionPadding, kBorder, width, caption), Qt::AlignVCenter | Qt::AlignLeft, title);
  if (closeBox) {
    int side = caption - 2 * kCloseMargin;
    QRect box(width - kBorder - kCloseMargin - side, kBorder + kCloseMargin, side, side);
    painter.drawRect(box);
    painter.drawText(box, Qt::AlignCenter, "X");
  }
  painter.drawPixmap(kBorder, kBorder + caption, client);
  return image;
}

// What is drawn: a template's dialog or a scene's message box (GUI thread).
struct Subject {
  QWidget* window = nullptr;  // null until it is on screen
  HWND dialog = nullptr;      // the template's dialog, ended after the picture
  bool closeBox = false;
};

QMessageBox* VisibleMessageBox() {
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    if (box != nullptr && box->isVisible()) return box;
  }
  return nullptr;
}

Subject FindSubject(const RenderableDialog& dialog) {
  Subject subject;
  if (dialog.scene != nullptr) {
    QMessageBox* box = VisibleMessageBox();
    subject.window = box;
    // Only a box that Escape can answer has a close box.
    subject.closeBox = box != nullptr && box->escapeButton() != nullptr;
    return subject;
  }
  subject.dialog = UiFindDialog(dialog.dialogTemplate->id);
  QWidget* window = subject.dialog ? QtDialogWidget(subject.dialog) : nullptr;
  if (window != nullptr && window->isVisible()) subject.window = window;
  subject.closeBox = (dialog.dialogTemplate->style & WS_SYSMENU) != 0;
  return subject;
}

// The default button answers, as Enter would; one box a round.
void AnswerOpenBox() {
  QMessageBox* box = VisibleMessageBox();
  if (box == nullptr) return;
  QAbstractButton* button = box->defaultButton();
  if (button == nullptr && !box->buttons().isEmpty()) button = box->buttons().front();
  if (button != nullptr) button->click();
}

void EnsureApplication() {
  if (QCoreApplication::instance()) return;
  if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "fwscreenshot";
  static char* argv[] = {name, nullptr};
  // Lives as long as the process, like the host's.
  new QApplication(argc, argv);
}

}  // namespace

bool UiRenderDialogToPng(const RenderableDialog& dialog, const std::string& path, std::string* error) {
  if ((dialog.dialogTemplate == nullptr) == (dialog.scene == nullptr)) {
    *error = "needs either a template or a scene";
    return false;
  }
  EnsureApplication();
  const UiBackendOps* previous = UiSetBackend(QtBackend());
  // Shared, so a dialog that never ends (stuck in a question) can be left behind.
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread runner([finished, dialog] {
    if (dialog.scene != nullptr) {
      dialog.scene(dialog.param);
    } else {
      DialogBoxIndirectParamW(nullptr, dialog.dialogTemplate, nullptr, dialog.proc, dialog.param);
    }
    *finished = true;
  });
  Subject subject;
  bool ok = PumpUntil(
      [&] {
        subject = FindSubject(dialog);
        return *finished || subject.window != nullptr;
      },
      kRenderTimeoutMs);
  if (!ok || subject.window == nullptr) {
    *error = !*finished                ? "nothing showed (does it ask something?)"
             : dialog.scene != nullptr ? "the scene ended without opening a message box"
                                       : "the dialog ended during its initialisation";
    ok = false;
  } else {
    // Changes made right after the window showed are drawn too.
    for (int i = 0; i < kSettleRounds; i++) QCoreApplication::processEvents(QEventLoop::AllEvents, kPumpSliceMs);
    QWidget* window = subject.window;
    QImage image = Framed(window->grab(), window->windowTitle(), subject.closeBox, window->font());
    ok = image.save(QString::fromStdString(path), "PNG");
    if (!ok) *error = "cannot write " + path;
  }
  if (subject.dialog) EndDialog(subject.dialog, 0);
  PumpUntil(
      [&] {
        AnswerOpenBox();
        return finished->load();
      },
      kRenderTimeoutMs);
  if (*finished) runner.join();
  else runner.detach();
  UiSetBackend(previous);
  return ok;
}

int UiScreenshotMain(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--list") {
    for (const RenderableDialog& d : UiRenderables()) std::printf("%-16s %s\n", d.name.c_str(), d.description.c_str());
    return 0;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: fwscreenshot NAME OUT.png\n       fwscreenshot --list\n");
    return 2;
  }
  const RenderableDialog* dialog = UiFindRenderable(argv[1]);
  if (dialog == nullptr) {
    std::fprintf(stderr, "fwscreenshot: no dialog named '%s' (--list shows them)\n", argv[1]);
    return 2;
  }
  std::string error;
  if (!UiRenderDialogToPng(*dialog, argv[2], &error)) {
    std::fprintf(stderr, "fwscreenshot: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::printf("%s\n", argv[2]);
  return 0;
}
