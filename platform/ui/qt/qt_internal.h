// What the Qt backend's files share. Includes Qt: only for platform/ui/qt/
// and tests.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <vector>

#include "platform/ui/window_model.h"

// The widgets of one shown dialog (GUI thread only).
struct QtDialogWidgets {
  QPointer<QWidget> window;
  std::vector<QWidget*> controls;  // by control index; valid while `window` is
};

// Runs `work` on the GUI thread later. False without a QApplication.
bool QtPost(std::function<void()> work);
bool QtOnGuiThread();
// Brings a new window to the front with the keyboard, as a person expects of
// a window that opens to be answered (GUI thread).
void QtActivate(QWidget* window);
// After a window closed: the keyboard goes to the newest modal window still
// open, else to `owner`, the window it was opened from (may be null).
void QtReturnFocus(QWidget* owner);

// The window of `dialog` on screen, or null (GUI thread).
QWidget* QtDialogWidget(HWND dialog);
// The widget of control `id` of `dialog`, or null (GUI thread).
QWidget* QtControlWidget(HWND dialog, int id);
// The widget a window owned by `owner` should be parented to (GUI thread).
QWidget* QtOwnerWidget(HWND owner);

// GUI-thread halves of the backend's entries (qt_dialog.cpp).
void QtCreateDialog(HWND dialog);
void QtSyncDialogs();
// Shows `state` in the dialog's widgets.
void QtApplyState(const UiDialogState& state);
void QtDestroyDialog(HWND dialog);

// Calls `handler` for every event of the objects it is installed on; a true
// result eats the event. The one QObject subclass: Qt offers no other way to
// see close, key and mouse events of a plain widget.
class QtEventHook : public QObject {
 public:
  explicit QtEventHook(std::function<bool(QObject*, QEvent*)> handler, QObject* parent);
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  std::function<bool(QObject*, QEvent*)> handler_;
};

// Shows the file chooser for `request` (GUI thread); `done` runs once when it
// closes, with the request as the user left it (filter, read-only box).
using QtChooserDone = std::function<void(bool accepted, const UiFileRequest& request, const std::u16string& path)>;
void QtOpenFileChooser(const UiFileRequest& request, QtChooserDone done);

QString QtString(const std::u16string& text);
std::u16string QtText(const QString& text);
