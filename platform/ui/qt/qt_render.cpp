// Screenshots of dialogs for the docs. The dialog runs as the program runs
// it, on a thread of its own; the GUI thread waits until it is on screen,
// grabs its client area and draws a caption bar around it (offscreen
// windows have no frame).
#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPixmap>
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
  if (dialog.dialogTemplate == nullptr) {
    *error = "no template";
    return false;
  }
  EnsureApplication();
  const UiBackendOps* previous = UiSetBackend(QtBackend());
  // Shared, so a dialog that never ends (stuck in a question) can be left behind.
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread runner([finished, source = dialog.dialogTemplate, proc = dialog.proc, param = dialog.param] {
    DialogBoxIndirectParamW(nullptr, source, nullptr, proc, param);
    *finished = true;
  });
  HWND shown = nullptr;
  bool ok = PumpUntil(
      [&] {
        shown = UiFindDialog(dialog.dialogTemplate->id);
        QWidget* window = shown ? QtDialogWidget(shown) : nullptr;
        return *finished || (window && window->isVisible());
      },
      kRenderTimeoutMs);
  QWidget* window = shown ? QtDialogWidget(shown) : nullptr;
  if (!ok || window == nullptr) {
    *error = *finished ? "the dialog ended during its initialisation" : "the dialog did not show (does it ask something?)";
  } else {
    // Changes made right after the dialog showed are drawn too.
    for (int i = 0; i < kSettleRounds; i++) QCoreApplication::processEvents(QEventLoop::AllEvents, kPumpSliceMs);
    QImage image = Framed(window->grab(), window->windowTitle(),
                          (dialog.dialogTemplate->style & WS_SYSMENU) != 0, window->font());
    ok = image.save(QString::fromStdString(path), "PNG");
    if (!ok) *error = "cannot write " + path;
  }
  if (shown) EndDialog(shown, 0);
  PumpUntil([&] { return finished->load(); }, kRenderTimeoutMs);
  if (*finished) runner.join();
  else runner.detach();
  UiSetBackend(previous);
  return ok && window != nullptr;
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
