// Dialog templates as Qt widgets, on the GUI thread. Static texts and group
// boxes let mouse presses through to the dialog, as the platform's do, so a
// press on them reaches the procedure as WM_LBUTTONDOWN.
#include <QApplication>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <algorithm>
#include <map>

#include "platform/text.h"
#include "platform/ui/dialog_units.h"
#include "platform/ui/qt/qt_internal.h"

namespace {

struct QtDialogsState {
  std::map<HWND, QtDialogWidgets> dialogs;
  std::map<HWND, std::vector<int>> ids;  // control ids by index
};

// GUI thread only.
QtDialogsState g_qtDialogs;

// Dialog units of one line of text.
constexpr int kLineUnits = 8;
// Horizontal dialog units per average character.
constexpr int kUnitsPerCharacter = 4;
// What a one-line static text keeps clear at its end, in dialog units, so it
// never runs into the text beside it.
constexpr int kStaticClearUnits = 2;
// The window manager's caption font, unknown to us, is taken as the
// application's font in bold at this much its size: desktops draw titles
// larger than dialog text.
constexpr double kCaptionFontScale = 1.25;
// Room the caption takes besides the title (the icon, up to three buttons,
// their margins), in lines of the caption's font.
constexpr int kCaptionAllowanceLines = 6;

// The platform's dialog font names that mean "the system's font".
constexpr const char16_t* kSystemFontNames[] = {u"System", u"MS Shell Dlg", u"MS Sans Serif", u"Tahoma"};

QFont DialogFont(const UiDialogState& d) {
  QFont font = QApplication::font();
  bool system = d.fontName.empty();
  for (const char16_t* name : kSystemFontNames) system = system || TextEqualNoCase(d.fontName, name);
  if (!system) font.setFamily(QtString(d.fontName));
  if (d.fontPointSize > 0) font.setPointSize(d.fontPointSize);
  return font;
}

// The font's base units, with the horizontal unit grown until every one-line
// static text of the template fits: the templates were laid out for a
// narrower font than most desktops use, and a label that runs to its end
// touches the value beside it.
DialogBaseUnits BaseUnits(const UiDialogState& d, const QFontMetrics& metrics) {
  DialogBaseUnits base = DialogBaseUnitsOf(metrics.horizontalAdvance(QString(kDialogUnitsAlphabet)), metrics.height());
  for (const UiControlState& c : d.controls) {
    if (c.kind != DialogControlKind::StaticText || c.height >= 2 * kLineUnits) continue;
    int room = c.width - kStaticClearUnits;
    QString text = QtString(UiWithoutMnemonics(c.text));
    if (room <= 0 || text.isEmpty() || text.contains('\n')) continue;
    int needed = metrics.horizontalAdvance(text) * kUnitsPerCharacter;
    base.x = std::max(base.x, (needed + room - 1) / room);
  }
  return base;
}

// Widens the window, never the template's controls, until the window
// manager's caption shows the whole title; the controls stay centred.
void FitTitle(QWidget* window, const std::vector<QWidget*>& controls) {
  QFont captionFont = QApplication::font();
  captionFont.setBold(true);
  if (captionFont.pointSizeF() > 0) captionFont.setPointSizeF(captionFont.pointSizeF() * kCaptionFontScale);
  else captionFont.setPixelSize(qRound(captionFont.pixelSize() * kCaptionFontScale));
  QFontMetrics metrics(captionFont);
  int needed = metrics.horizontalAdvance(window->windowTitle()) + kCaptionAllowanceLines * metrics.height();
  int growth = needed - window->width();
  if (growth <= 0) return;
  window->setFixedWidth(needed);
  for (QWidget* control : controls) control->move(control->x() + growth / 2, control->y());
}

Qt::Alignment StaticAlignment(DWORD style) {
  constexpr DWORD kAlignmentBits = SS_CENTER | SS_RIGHT;
  Qt::Alignment horizontal = Qt::AlignLeft;
  if ((style & kAlignmentBits) == SS_RIGHT) horizontal = Qt::AlignRight;
  else if ((style & kAlignmentBits) == SS_CENTER) horizontal = Qt::AlignHCenter;
  return horizontal | Qt::AlignTop;
}

void SyncList(QListWidget* list, const UiControlState& c) {
  QSignalBlocker block(list);
  bool same = list->count() == static_cast<int>(c.items.size());
  for (int i = 0; same && i < list->count(); i++) same = list->item(i)->text() == QtString(c.items[static_cast<size_t>(i)]);
  if (!same) {
    list->clear();
    for (const std::u16string& item : c.items) list->addItem(QtString(item));
  }
  for (int i = 0; i < list->count(); i++) list->item(i)->setSelected(c.selected[static_cast<size_t>(i)] != 0);
}

void SyncProgress(QProgressBar* bar, const UiControlState& c) {
  // An empty range would turn the bar into Qt's busy indicator.
  int low = std::min(c.rangeMin, c.rangeMax);
  int high = std::max(c.rangeMin, c.rangeMax);
  if (high == low) high = low + 1;
  bar->setRange(low, high);
  bar->setValue(c.pos);
}

void ApplyControl(QWidget* widget, const UiControlState& c) {
  switch (c.kind) {
    case DialogControlKind::PushButton:
    case DialogControlKind::DefPushButton:
      static_cast<QPushButton*>(widget)->setText(QtString(c.text));
      break;
    case DialogControlKind::StaticText:
      static_cast<QLabel*>(widget)->setText(QtString(UiWithoutMnemonics(c.text)));
      break;
    case DialogControlKind::GroupBox:
      static_cast<QGroupBox*>(widget)->setTitle(QtString(c.text));
      break;
    case DialogControlKind::ListBox:
      SyncList(static_cast<QListWidget*>(widget), c);
      break;
    case DialogControlKind::ProgressBar:
      SyncProgress(static_cast<QProgressBar*>(widget), c);
      break;
  }
  widget->setEnabled(c.enabled);
  widget->setVisible(c.visible);
}

void ResyncLater(HWND dialog) {
  QtPost([dialog] {
    UiDialogState s;
    if (UiSnapshotDialog(dialog, &s)) QtApplyState(s);
  });
}

QWidget* MakeControl(HWND dialog, const UiControlState& c, QWidget* parent) {
  switch (c.kind) {
    case DialogControlKind::PushButton:
    case DialogControlKind::DefPushButton: {
      auto* button = new QPushButton(parent);
      button->setAutoDefault(false);
      button->setDefault(c.kind == DialogControlKind::DefPushButton);
      int id = c.id;
      QObject::connect(button, &QPushButton::clicked, button, [dialog, id] { UiUserCommand(dialog, id); });
      return button;
    }
    case DialogControlKind::StaticText: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);
      label->setWordWrap(true);
      label->setAlignment(StaticAlignment(c.style));
      label->setAttribute(Qt::WA_TransparentForMouseEvents);
      return label;
    }
    case DialogControlKind::GroupBox: {
      auto* group = new QGroupBox(parent);
      group->setAttribute(Qt::WA_TransparentForMouseEvents);
      return group;
    }
    case DialogControlKind::ListBox: {
      auto* list = new QListWidget(parent);
      if (c.style & LBS_EXTENDEDSEL) list->setSelectionMode(QAbstractItemView::ExtendedSelection);
      else if (c.style & LBS_MULTIPLESEL) list->setSelectionMode(QAbstractItemView::MultiSelection);
      else list->setSelectionMode(QAbstractItemView::SingleSelection);
      list->setFrameShape((c.style & WS_BORDER) ? QFrame::StyledPanel : QFrame::NoFrame);
      Qt::ScrollBarPolicy vertical = Qt::ScrollBarAlwaysOff;
      if (c.style & WS_VSCROLL) vertical = (c.style & LBS_DISABLENOSCROLL) ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAsNeeded;
      list->setVerticalScrollBarPolicy(vertical);
      list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      int id = c.id;
      QObject::connect(list, &QListWidget::itemSelectionChanged, list, [dialog, id, list] {
        std::vector<int> selected;
        for (int row = 0; row < list->count(); row++) {
          if (list->item(row)->isSelected()) selected.push_back(row);
        }
        // A refused change (the dialog is busy) puts the widget back as the model has it.
        if (!UiUserSelect(dialog, id, selected)) ResyncLater(dialog);
      });
      return list;
    }
    case DialogControlKind::ProgressBar: {
      auto* bar = new QProgressBar(parent);
      bar->setTextVisible(false);
      return bar;
    }
  }
  return new QWidget(parent);
}

bool DialogEvent(HWND dialog, QObject* watched, QObject* window, QEvent* event) {
  if (watched != window) return false;
  switch (event->type()) {
    case QEvent::Close:
      // The procedure decides; the close box is only a request.
      event->ignore();
      UiUserClose(dialog);
      return true;
    case QEvent::KeyPress: {
      int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Escape) {
        UiUserEscape(dialog);
        return true;
      }
      if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        // As on the platform, the push button with the focus is the one
        // Enter presses; elsewhere it is the default button.
        auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        bool ok = false;
        int id = focused != nullptr && focused->window() == window ? focused->objectName().toInt(&ok) : 0;
        if (ok && focused->isEnabled() && focused->isVisible()) UiUserCommand(dialog, id);
        else UiUserEnter(dialog);
        return true;
      }
      return false;
    }
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) return false;
      WPARAM keys = 0;
      if (mouse->buttons() & Qt::RightButton) keys |= MK_RBUTTON;
      if (mouse->modifiers() & Qt::ShiftModifier) keys |= MK_SHIFT;
      if (mouse->modifiers() & Qt::ControlModifier) keys |= MK_CONTROL;
      QPoint at = mouse->position().toPoint();
      UiUserMouseDown(dialog, keys, at.x(), at.y());
      return true;
    }
    default:
      return false;
  }
}

void Center(QWidget* window, QWidget* parent) {
  QRect area = parent ? parent->frameGeometry() : QRect();
  if (area.isEmpty()) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    area = screen->availableGeometry();
  }
  QRect frame(QPoint(), window->size());
  frame.moveCenter(area.center());
  window->move(frame.topLeft());
}

// Focus as the platform sets it: the default button, else the first tab stop.
void SetFocus(const UiDialogState& d, const QtDialogWidgets& widgets) {
  for (size_t pass = 0; pass < 2; pass++) {
    for (size_t i = 0; i < d.controls.size(); i++) {
      const UiControlState& c = d.controls[i];
      bool wanted = pass == 0 ? c.kind == DialogControlKind::DefPushButton : (c.style & WS_TABSTOP) != 0;
      if (wanted && c.visible && c.enabled) {
        widgets.controls[i]->setFocus();
        return;
      }
    }
  }
}

}  // namespace

void QtCreateDialog(HWND dialog) {
  UiDialogState d;
  if (!UiSnapshotDialog(dialog, &d) || d.ended) return;
  QWidget* parent = QtOwnerWidget(d.owner);
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  // A window with no caption button at all is given every one (close and
  // maximise included) by X11 window managers, so one without a close box
  // offers the one button that works on it.
  flags |= (d.style & WS_SYSMENU) ? Qt::WindowCloseButtonHint : Qt::WindowMinimizeButtonHint;
  auto* window = new QWidget(parent, flags);
  window->setObjectName(QString("dialog_%1").arg(d.templateId));
  QFont font = DialogFont(d);
  window->setFont(font);
  DialogBaseUnits base = BaseUnits(d, QFontMetrics(font));
  PixelRect size = DialogUnitsToPixels(0, 0, d.width, d.height, base);
  window->setFixedSize(size.width, size.height);
  window->setWindowModality(parent ? Qt::WindowModal : Qt::NonModal);

  QtDialogWidgets widgets;
  widgets.window = window;
  std::vector<int> ids;
  for (size_t i = 0; i < d.controls.size(); i++) {
    const UiControlState& c = d.controls[i];
    QWidget* widget = MakeControl(dialog, c, window);
    widget->setObjectName(c.id != IDC_STATIC ? QString::number(c.id) : QString("static_%1").arg(i));
    PixelRect r = DialogUnitsToPixels(c.x, c.y, c.width, c.height, base);
    widget->setGeometry(r.x, r.y, r.width, r.height);
    if (c.kind == DialogControlKind::GroupBox) widget->lower();
    widgets.controls.push_back(widget);
    ids.push_back(c.id);
  }
  window->installEventFilter(new QtEventHook(
      [dialog, window](QObject* watched, QEvent* event) { return DialogEvent(dialog, watched, window, event); },
      window));
  g_qtDialogs.dialogs[dialog] = widgets;
  g_qtDialogs.ids[dialog] = ids;
  QtApplyState(d);
  Center(window, parent);
  window->setVisible(d.visible);
  if (d.visible) QtActivate(window);
  if (d.focusOnShow) SetFocus(d, widgets);
}

void QtApplyState(const UiDialogState& d) {
  auto it = g_qtDialogs.dialogs.find(d.hwnd);
  if (it == g_qtDialogs.dialogs.end() || !it->second.window) return;
  QWidget* window = it->second.window;
  QString title = QtString(d.title);
  if (window->windowTitle() != title) {
    window->setWindowTitle(title);
    FitTitle(window, it->second.controls);
  }
  window->setEnabled(d.programEnabled);
  for (size_t i = 0; i < d.controls.size() && i < it->second.controls.size(); i++) {
    ApplyControl(it->second.controls[i], d.controls[i]);
  }
  if (window->isVisible() != d.visible) {
    window->setVisible(d.visible);
    if (d.visible) QtActivate(window);
  }
}

void QtDestroyDialog(HWND dialog) {
  auto it = g_qtDialogs.dialogs.find(dialog);
  if (it == g_qtDialogs.dialogs.end()) return;
  if (QWidget* window = it->second.window) {
    // Windows owned by this one (another thread's dialog, a message box)
    // must not go down with it.
    for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!child->isWindow()) continue;
      bool visible = child->isVisible();
      child->setParent(nullptr, child->windowFlags());
      if (visible) child->show();
    }
    QPointer<QWidget> owner = window->parentWidget();
    window->hide();
    delete window;
    QtReturnFocus(owner);
  }
  g_qtDialogs.dialogs.erase(it);
  g_qtDialogs.ids.erase(dialog);
}

QWidget* QtDialogWidget(HWND dialog) {
  auto it = g_qtDialogs.dialogs.find(dialog);
  return it == g_qtDialogs.dialogs.end() ? nullptr : it->second.window.data();
}

QWidget* QtControlWidget(HWND dialog, int id) {
  auto it = g_qtDialogs.dialogs.find(dialog);
  if (it == g_qtDialogs.dialogs.end() || !it->second.window) return nullptr;
  const std::vector<int>& ids = g_qtDialogs.ids[dialog];
  for (size_t i = 0; i < ids.size(); i++) {
    if (ids[i] == id) return it->second.controls[i];
  }
  return nullptr;
}

QWidget* QtOwnerWidget(HWND owner) { return owner ? QtDialogWidget(owner) : nullptr; }
