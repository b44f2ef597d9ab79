// The program's shell on real Qt widgets, offscreen. The program runs as the
// host runs it: RunCommands on a thread of its own opens the main dialog, and
// the flows start threads of their own. The test's main thread is the GUI
// thread: it pumps Qt's events and plays the user on the widgets.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QString>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/window.h"

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

// Generous for a sanitizer build on a busy machine; a step that takes longer
// has failed.
constexpr int kPatienceMs = 15000;

// Runs Qt's events on the GUI thread until `condition` holds; false when
// `ms` passed first.
bool Pump(const std::function<bool()>& condition, int ms = kPatienceMs);

// The visible window with this object name, or null.
QWidget* ShownWindow(const QString& objectName);

// The widget of control `id` of `dialog`, or null.
QWidget* ControlWidget(HWND dialog, int id);
template <typename T>
T* Control(HWND dialog, int id) {
  return qobject_cast<T*>(ControlWidget(dialog, id));
}
// The title of the dialog's window.
QString WindowTitle(HWND dialog);
// The text of a static text control as the user reads it.
QString LabelText(HWND dialog, int id);
// The texts of a list box's entries, in order.
std::vector<QString> ListTexts(HWND dialog, int id);

// A dialog takes the user's input: shown, enabled, no modal window over it.
bool TakesInput(HWND dialog);

// The window has the keyboard: it is active and holds the focus; false when
// it did not get it in time.
bool HasKeyboard(QWidget* window);
QWidget* DialogWindow(HWND dialog);
// Keys pressed where the keyboard is, as a person types them.
void PressKey(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
void TypeText(const QString& text);

class QtShell : public ::testing::Test {
 protected:
  void SetUp() override;
  // Answers, cancels and closes whatever a failed test left open, so that
  // the program ends instead of waiting for ever.
  void TearDown() override;

  // Once per test: attaches a fresh module with `settings` (a restart
  // request only logs) and starts the program without a command. The main
  // dialog once its window shows, else null.
  HWND StartProgram(std::vector<std::string> settings = {});
  // Closes every dialog with Escape, newest first, and waits for the program
  // to end; its result, or -1 when it did not end.
  int StopProgram();

  // The dialog of `templateId` once its window shows, else null.
  HWND WaitForDialog(WORD templateId);
  // Presses the button once the dialog takes input; false when it never did.
  bool Click(HWND dialog, int id);
  // Clicks entry `row` of the list with `modifiers` (Ctrl toggles one entry).
  bool ClickRow(HWND dialog, int listId, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
  // Exactly `rows`: a click on the first, Ctrl+clicks on the others.
  bool SelectRows(HWND dialog, int listId, const std::vector<int>& rows);
  // A left press on the dialog's background with these buttons held.
  void PressBackground(HWND dialog, Qt::MouseButtons held, Qt::KeyboardModifiers modifiers);
  // Escape on the dialog's window; true once the dialog has ended.
  bool CloseWithEscape(HWND dialog);
  // The main dialog's Backup button, then the backup dialog once it shows.
  HWND OpenBackupDialog(HWND main);

  QMessageBox* WaitForMessageBox();
  // Presses the button of `answer` (IDYES ...); true once the box is gone.
  bool Answer(QMessageBox* box, int answer);
  QWidget* WaitForFileDialog();
  // Types `name` (unless empty) into the chooser and presses its OK button;
  // true once the chooser has closed.
  bool AcceptFile(QWidget* chooser, const QString& name = QString());

  // Every message box the program showed, as "caption: text", and how many
  // dialogs of a template and file dialogs it opened.
  static std::vector<std::string> Messages();
  static int DialogsShown(WORD templateId);
  static int FileDialogsShown();

  // NOR flash.img holds the flash byte for byte.
  std::vector<uint8_t> Flash() const;
  // A file of the module's object store by its host path below root/.
  std::string StorePath(const std::string& relative) const;
  std::vector<uint8_t> StoreFile(const std::string& relative) const;

  std::string dir_;

 private:
  void AnswerWhateverIsOpen();

  std::thread program_;
  std::atomic<bool> programDone_{false};
  std::atomic<int> programResult_{-1};
  std::chrono::steady_clock::time_point lastEscape_;
};
