#include "platform/ui/recording.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/text.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/window_model.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kDefaultSettleMs = 100;
constexpr uint32_t kDefaultAwaitTimeoutMs = 10000;
constexpr uint32_t kPollMs = 10;
constexpr uint32_t kNextActionMs = 1;

struct ScriptedFile {
  bool cancel;
  std::u16string path;
};

struct PendingAction {
  RecordingAction action;
  bool started = false;
  Clock::time_point since{};
};

// Lock order: the model's lock before this one, never the other way round.
struct RecordingState {
  std::mutex lock;
  std::deque<int> answers;
  std::deque<ScriptedFile> files;
  std::map<WORD, std::deque<PendingAction>> actions;
  std::vector<RecordedEvent> events;
  std::map<WORD, int> closed;
  std::set<HWND> closeSent;
  Clock::time_point lastActivity = Clock::now();
  uint32_t settleMs = kDefaultSettleMs;
  uint32_t awaitTimeoutMs = kDefaultAwaitTimeoutMs;
};

RecordingState g_recording;

RecordedEvent NewEvent(RecordedKind kind) {
  RecordedEvent e;
  e.kind = kind;
  return e;
}

void Record(const RecordedEvent& event) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.events.push_back(event);
}

void Activity() {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.lastActivity = Clock::now();
}

bool Ready() { return true; }

void Shown(HWND dialog) {
  UiDialogState d;
  if (!UiSnapshotDialog(dialog, &d)) return;
  UiDialogState owner;
  RecordedEvent e = NewEvent(RecordedKind::DialogOpened);
  e.templateId = d.templateId;
  e.text = d.title;
  e.value = d.owner && UiSnapshotDialog(d.owner, &owner) ? owner.templateId : -1;
  Record(e);
  Activity();
}

void Changed(HWND dialog, int controlIndex, UiChange change) {
  // The model is locked by our caller.
  UiDialogState* d = UiResolveLocked(dialog, nullptr);
  if (d == nullptr || change == UiChange::DialogEnabled) return;
  RecordedEvent e = NewEvent(RecordedKind::Changed);
  e.templateId = d->templateId;
  e.change = change;
  if (controlIndex < 0) {
    e.text = d->title;
    e.value = d->visible;
  } else {
    const UiControlState& c = d->controls[static_cast<size_t>(controlIndex)];
    e.controlId = c.id;
    e.text = c.text;
    switch (change) {
      case UiChange::Enabled:
        e.value = c.enabled;
        break;
      case UiChange::Visible:
        e.value = c.visible;
        break;
      case UiChange::ListItems:
        e.value = static_cast<intptr_t>(c.items.size());
        break;
      case UiChange::ListSelection:
        for (size_t i = 0; i < c.selected.size(); i++) {
          if (c.selected[i]) e.selection.push_back(static_cast<int>(i));
        }
        e.value = static_cast<intptr_t>(e.selection.size());
        break;
      case UiChange::ProgressRange:
        e.value = c.rangeMax;
        e.style = static_cast<UINT>(c.rangeMin);
        break;
      case UiChange::ProgressPos:
        e.value = c.pos;
        break;
      default:
        break;
    }
  }
  Record(e);
}

void Closed(HWND dialog, INT_PTR result) {
  UiDialogState d;
  if (!UiSnapshotDialog(dialog, &d)) return;
  RecordedEvent e = NewEvent(RecordedKind::DialogClosed);
  e.templateId = d.templateId;
  e.value = result;
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.events.push_back(e);
  g_recording.closed[d.templateId]++;
  g_recording.closeSent.erase(dialog);
  g_recording.lastActivity = Clock::now();
}

const char* ActionName(RecordingActionKind kind) {
  switch (kind) {
    case RecordingActionKind::Click:
      return "click";
    case RecordingActionKind::Select:
      return "select";
    case RecordingActionKind::MouseDown:
      return "mouse";
    case RecordingActionKind::Close:
      return "close";
    case RecordingActionKind::Escape:
      return "escape";
    case RecordingActionKind::AwaitClosed:
      return "await";
    case RecordingActionKind::Call:
      return "call";
  }
  return "?";
}

bool Perform(HWND dialog, const RecordingAction& a) {
  switch (a.kind) {
    case RecordingActionKind::Click:
      return UiUserCommand(dialog, a.controlId);
    case RecordingActionKind::Select:
      return UiUserSelect(dialog, a.controlId, a.selection);
    case RecordingActionKind::MouseDown:
      return UiUserMouseDown(dialog, a.keys, a.x, a.y);
    case RecordingActionKind::Close:
      return UiUserClose(dialog);
    case RecordingActionKind::Escape:
      return UiUserEscape(dialog);
    case RecordingActionKind::Call:
      a.call(dialog, a.context);
      return true;
    case RecordingActionKind::AwaitClosed:
      return true;
  }
  return false;
}

// Closes an idle dialog that has nothing scripted once the window system has
// been quiet for the settle time; returns how long to wait before asking again.
uint32_t CloseWhenSettled(HWND dialog, const UiDialogState& d) {
  {
    std::lock_guard<std::mutex> guard(g_recording.lock);
    if (g_recording.closeSent.count(dialog)) return 0;
    auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_recording.lastActivity);
    if (quiet.count() < g_recording.settleMs) return kPollMs;
  }
  // A dialog under a modal window of its own cannot be closed yet.
  if (!UiDialogTakesInput(d)) return kPollMs;
  bool sent = (d.style & WS_SYSMENU) ? UiUserClose(dialog) : UiUserEscape(dialog);
  if (!sent) return kPollMs;
  RecordedEvent e = NewEvent(RecordedKind::Action);
  e.templateId = d.templateId;
  e.text = u"close (script ended)";
  e.value = 1;
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.events.push_back(e);
  g_recording.closeSent.insert(dialog);
  return 0;
}

uint32_t Idle(HWND dialog) {
  UiDialogState d;
  if (!UiSnapshotDialog(dialog, &d) || !UiDialogTakesInput(d)) return 0;
  RecordingAction action;
  bool scripted = false;
  {
    std::lock_guard<std::mutex> guard(g_recording.lock);
    auto& queue = g_recording.actions[d.templateId];
    if (!queue.empty()) {
      PendingAction& next = queue.front();
      if (next.action.kind == RecordingActionKind::AwaitClosed) {
        if (!next.started) {
          next.started = true;
          next.since = Clock::now();
        }
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - next.since);
        bool reached = g_recording.closed[next.action.awaitTemplateId] >= next.action.awaitCount;
        if (!reached && waited.count() < g_recording.awaitTimeoutMs) return kPollMs;
        RecordedEvent e = NewEvent(RecordedKind::Action);
        e.templateId = d.templateId;
        e.text = reached ? u"await" : u"await (timed out)";
        e.value = reached;
        g_recording.events.push_back(e);
        queue.pop_front();
        g_recording.lastActivity = Clock::now();
        return kNextActionMs;
      }
      action = next.action;
      queue.pop_front();
      scripted = true;
    }
  }
  if (!scripted) return CloseWhenSettled(dialog, d);
  bool done = Perform(dialog, action);
  RecordedEvent e = NewEvent(RecordedKind::Action);
  e.templateId = d.templateId;
  e.controlId = action.controlId;
  e.text = Utf8ToUtf16(ActionName(action.kind));
  e.value = done;
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.events.push_back(e);
  g_recording.lastActivity = Clock::now();
  // An action that posted nothing (refused, or a test's own call) must not
  // leave the loop waiting for an event that never comes.
  return kNextActionMs;
}

int AnswerBox(const UiMessageBox& box) {
  RecordedEvent e = NewEvent(RecordedKind::MessageBox);
  e.text = box.text;
  e.caption = box.caption;
  e.style = box.style;
  int answer = box.defaultButton;
  std::lock_guard<std::mutex> guard(g_recording.lock);
  if (box.buttonCount > 1 && !g_recording.answers.empty()) {
    int scripted = g_recording.answers.front();
    g_recording.answers.pop_front();
    for (int i = 0; i < box.buttonCount; i++) {
      if (box.buttons[i] == scripted) {
        answer = scripted;
        e.scripted = true;
      }
    }
  }
  e.value = answer;
  g_recording.events.push_back(e);
  g_recording.lastActivity = Clock::now();
  return answer;
}

bool NextFile(ScriptedFile* file) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.lastActivity = Clock::now();
  if (g_recording.files.empty()) return false;
  *file = g_recording.files.front();
  g_recording.files.pop_front();
  return !file->cancel;
}

void RecordFile(const UiFileRequest& request, const std::u16string& path) {
  RecordedEvent e = NewEvent(RecordedKind::FileDialog);
  e.text = path;
  e.caption = request.title;
  e.style = request.flags;
  e.save = request.save;
  Record(e);
}

bool ChooseFile(UiFileRequest* request, std::u16string* path) {
  ScriptedFile file;
  while (NextFile(&file)) {
    std::u16string message;
    FileCheck check = FileDialogCheck(*request, file.path, path, &message);
    if (check == FileCheck::Accept ||
        (check == FileCheck::AskOverwrite &&
         MessageBoxW(request->owner, message.c_str(), request->title.c_str(), MB_YESNO | MB_ICONEXCLAMATION) ==
             IDYES)) {
      RecordFile(*request, *path);
      return true;
    }
    if (check == FileCheck::Folder) {
      request->folder = *path;
      continue;
    }
    RecordedEvent e = NewEvent(RecordedKind::Problem);
    e.text = message;
    e.caption = request->title;
    if (check == FileCheck::Problem) Record(e);
  }
  RecordFile(*request, u"");
  return false;
}

std::string Quote(const std::u16string& text) {
  std::string out = "\"";
  for (char c : Utf16ToUtf8(text)) out += c == '\n' ? std::string("\\n") : std::string(1, c);
  return out + "\"";
}

const char* ChangeName(UiChange change) {
  switch (change) {
    case UiChange::Title:
      return "title";
    case UiChange::Text:
      return "text";
    case UiChange::Enabled:
      return "enabled";
    case UiChange::Visible:
      return "visible";
    case UiChange::ListItems:
      return "items";
    case UiChange::ListSelection:
      return "selection";
    case UiChange::ProgressRange:
      return "range";
    case UiChange::ProgressPos:
      return "pos";
    case UiChange::DialogEnabled:
      return "dialog-enabled";
  }
  return "?";
}

std::string EventLine(const RecordedEvent& e) {
  char head[64];
  switch (e.kind) {
    case RecordedKind::DialogOpened:
      std::snprintf(head, sizeof head, "open %u owner %ld ", e.templateId, static_cast<long>(e.value));
      return head + Quote(e.text);
    case RecordedKind::DialogClosed:
      std::snprintf(head, sizeof head, "close %u result %ld", e.templateId, static_cast<long>(e.value));
      return head;
    case RecordedKind::Changed: {
      std::snprintf(head, sizeof head, "%s %u/%d ", ChangeName(e.change), e.templateId, e.controlId);
      std::string line = head;
      if (e.change == UiChange::Text || e.change == UiChange::Title) return line + Quote(e.text);
      if (e.change == UiChange::ListSelection) {
        for (size_t i = 0; i < e.selection.size(); i++) line.append(i ? "," : "").append(std::to_string(e.selection[i]));
        return line;
      }
      if (e.change == UiChange::ProgressRange) line += std::to_string(e.style) + "-";
      return line + std::to_string(e.value);
    }
    case RecordedKind::MessageBox:
      std::snprintf(head, sizeof head, " style 0x%x answer %ld%s", e.style, static_cast<long>(e.value),
                    e.scripted ? "" : " (default)");
      return "box " + Quote(e.caption) + " " + Quote(e.text) + head;
    case RecordedKind::FileDialog:
      return std::string(e.save ? "save " : "open ") + Quote(e.caption) + " -> " + Quote(e.text);
    case RecordedKind::Problem:
      return "refused " + Quote(e.text);
    case RecordedKind::Action:
      std::snprintf(head, sizeof head, "action %u ", e.templateId);
      return head + Utf16ToUtf8(e.text) + (e.controlId >= 0 ? std::string(" ").append(std::to_string(e.controlId)) : std::string()) +
             (e.value ? "" : " (refused)");
  }
  return "?";
}

const UiBackendOps kRecordingOps = {
    "recording", Ready, Shown, Changed, Closed, Idle, AnswerBox, ChooseFile, nullptr, nullptr, nullptr,
};

void AddAction(WORD templateId, const RecordingAction& action) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.actions[templateId].push_back(PendingAction{action});
}

}  // namespace

const UiBackendOps* RecordingBackend() { return &kRecordingOps; }

void RecordingAnswer(int answer) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.answers.push_back(answer);
}

void RecordingChooseFile(const char16_t* typedPath) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.files.push_back(ScriptedFile{false, typedPath ? typedPath : u""});
}

void RecordingCancelFile() {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.files.push_back(ScriptedFile{true, u""});
}

RecordingAction RecordingClick(int controlId) {
  RecordingAction a;
  a.kind = RecordingActionKind::Click;
  a.controlId = controlId;
  return a;
}

RecordingAction RecordingSelect(int listId, std::vector<int> selection) {
  RecordingAction a;
  a.kind = RecordingActionKind::Select;
  a.controlId = listId;
  a.selection = std::move(selection);
  return a;
}

RecordingAction RecordingMouseDown(WPARAM keys, int x, int y) {
  RecordingAction a;
  a.kind = RecordingActionKind::MouseDown;
  a.controlId = -1;
  a.keys = keys;
  a.x = x;
  a.y = y;
  return a;
}

RecordingAction RecordingCloseBox() {
  RecordingAction a;
  a.kind = RecordingActionKind::Close;
  a.controlId = -1;
  return a;
}

RecordingAction RecordingEscape() {
  RecordingAction a;
  a.kind = RecordingActionKind::Escape;
  a.controlId = -1;
  return a;
}

RecordingAction RecordingAwaitClosed(WORD templateId, int count) {
  RecordingAction a;
  a.kind = RecordingActionKind::AwaitClosed;
  a.controlId = -1;
  a.awaitTemplateId = templateId;
  a.awaitCount = count;
  return a;
}

RecordingAction RecordingCall(void (*call)(HWND dialog, void* context), void* context) {
  RecordingAction a;
  a.kind = RecordingActionKind::Call;
  a.controlId = -1;
  a.call = call;
  a.context = context;
  return a;
}

void RecordingOnDialog(WORD templateId, const RecordingAction& action) { AddAction(templateId, action); }

void RecordingSetTimings(uint32_t settleMs, uint32_t awaitTimeoutMs) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.settleMs = settleMs;
  g_recording.awaitTimeoutMs = awaitTimeoutMs;
}

std::vector<RecordedEvent> RecordingEvents() {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  return g_recording.events;
}

std::string RecordingLog() {
  std::string log;
  for (const RecordedEvent& e : RecordingEvents()) log += EventLine(e) + "\n";
  return log;
}

int RecordingClosedCount(WORD templateId) {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  auto it = g_recording.closed.find(templateId);
  return it == g_recording.closed.end() ? 0 : it->second;
}

void RecordingReset() {
  std::lock_guard<std::mutex> guard(g_recording.lock);
  g_recording.answers.clear();
  g_recording.files.clear();
  g_recording.actions.clear();
  g_recording.events.clear();
  g_recording.closed.clear();
  g_recording.closeSent.clear();
  g_recording.lastActivity = Clock::now();
  g_recording.settleMs = kDefaultSettleMs;
  g_recording.awaitTimeoutMs = kDefaultAwaitTimeoutMs;
}
