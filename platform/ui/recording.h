// The recording window system, for tests of the program's flows. It records
// every dialog, change, message box and file dialog with its texts, captions,
// styles and control states, and answers from a script the test gives:
// - questions (message boxes with more than one button) take the next
//   scripted answer, else their default button; OK boxes answer IDOK;
// - file dialogs take the next scripted path (typed as a user would type
//   it, judged against the dialog's options) or cancel when none is left;
// - a dialog waiting for input performs the next action scripted for its
//   template id (click, select, mouse press, close, wait for another window
//   to close, or a test's own function). When none is left and no window
//   opened or closed for the settle time, it is closed once (WM_CLOSE, or
//   Escape without a close box), as when a console's input ends.
// It is the window system until another backend is selected.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/backend.h"

const UiBackendOps* RecordingBackend();

enum class RecordedKind : uint8_t {
  DialogOpened,  // templateId, text: title, value: owner's template id (-1 none)
  DialogClosed,  // templateId, value: result
  Changed,       // templateId, controlId (-1: the dialog), change, text and value: the new state
  MessageBox,    // text, caption, style, value: answer, scripted: whether the script answered
  FileDialog,    // text: the chosen path (empty: cancelled), caption: title, style: flags, save
  Problem,       // a file dialog refused a scripted path: text says why
  Action,        // templateId, text: the scripted action, value: 1 done, 0 refused
};

struct RecordedEvent {
  RecordedKind kind = RecordedKind::Action;
  WORD templateId = 0;
  int controlId = -1;
  UiChange change = UiChange::Text;
  std::u16string text;
  std::u16string caption;
  UINT style = 0;
  intptr_t value = 0;
  bool scripted = false;
  bool save = false;
  std::vector<int> selection;  // Changed ListSelection: the selected indices
};

// ---------------------------------------------------------------------------
// The script.

void RecordingAnswer(int answer);  // IDYES, IDNO ...
void RecordingChooseFile(const char16_t* typedPath);
void RecordingCancelFile();

enum class RecordingActionKind : uint8_t { Click, Select, MouseDown, Close, Escape, AwaitClosed, Call };

struct RecordingAction {
  RecordingActionKind kind = RecordingActionKind::Click;
  int controlId = 0;           // Click, Select
  std::vector<int> selection;  // Select
  WPARAM keys = 0;             // MouseDown: MK_* beside MK_LBUTTON
  int x = 0, y = 0;            // MouseDown
  WORD awaitTemplateId = 0;    // AwaitClosed: wait until that many dialogs
  int awaitCount = 0;          // of this template have closed in all
  void (*call)(HWND dialog, void* context) = nullptr;  // Call, on the dialog's thread
  void* context = nullptr;
};

RecordingAction RecordingClick(int controlId);
RecordingAction RecordingSelect(int listId, std::vector<int> selection);
RecordingAction RecordingMouseDown(WPARAM keys, int x = 0, int y = 0);
RecordingAction RecordingCloseBox();
RecordingAction RecordingEscape();
RecordingAction RecordingAwaitClosed(WORD templateId, int count);
RecordingAction RecordingCall(void (*call)(HWND dialog, void* context), void* context);

// Appends `action` to what dialogs of `templateId` will do.
void RecordingOnDialog(WORD templateId, const RecordingAction& action);

// How long the window system must be quiet before an idle dialog with
// nothing scripted is closed (default 100 ms); how long AwaitClosed waits at
// most (default 10 s; then the dialog goes on with its script).
void RecordingSetTimings(uint32_t settleMs, uint32_t awaitTimeoutMs);

// ---------------------------------------------------------------------------
// What happened.

std::vector<RecordedEvent> RecordingEvents();
// One line per event, in UTF-8, for failure messages and text matching.
std::string RecordingLog();
// How many dialogs of `templateId` have closed since the last reset.
int RecordingClosedCount(WORD templateId);

// Forgets script, log and counts.
void RecordingReset();
