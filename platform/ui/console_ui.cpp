// The console's own thread reads lines and draws. Threads that show a
// message box or ask for a file hand it a request and wait; dialogs are read
// from the window model. A line goes to the newest window that takes input:
// a question, a file prompt, or a dialog with a usable button or list. A
// window that takes none (a progress window) keeps the line waiting.
//
// Lock order: this file's lock before the model's. The model calls us back
// with its lock held only in Changed, which takes the separate dirty lock.
#include "platform/ui/console_ui.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/debug.h"
#include "platform/text.h"
#include "platform/ui/console_input.h"
#include "platform/ui/console_render.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_model.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 4096;
constexpr int kNoTimeout = -1;
// A log line of a progress bar: wide enough to move at every few percent.
constexpr int kLogBarCells = 20;
// Changes of one window kept for its log while a prompt holds the drawing;
// a progress window changes a few times a second, a prompt waits for a person.
constexpr size_t kMaxLoggedChanges = 100000;

enum class RequestKind : uint8_t { Print, Question, Line };

struct ConsoleRequest {
  RequestKind kind = RequestKind::Print;
  uint64_t serial = 0;
  std::vector<std::string> text;
  std::string prompt;
  const UiMessageBox* box = nullptr;  // Question
  bool shown = false;
  bool done = false;  // set through UiSignal
  int answer = 0;
  std::string line;
  bool inputEnded = false;
};

struct DialogView {
  bool dirty = true;
  bool drawn = false;
  bool closeSent = false;
  bool closing = false;
  bool* closed = nullptr;  // signalled once the final state is drawn
  std::u16string printedTitle;
  Clock::time_point lastDraw{};
};

struct ConsoleState {
  std::mutex lock;
  ConsoleUiConfig config;
  bool terminal = false;
  bool echoes = false;  // the input is a terminal that echoes the typed line
  std::thread thread;
  bool running = false;
  bool stopping = false;
  int wake[2] = {-1, -1};
  std::deque<ConsoleRequest*> requests;
  std::map<HWND, DialogView> views;
  ConsoleLineInput input;
  bool inputEnded = false;
  Clock::time_point settleUntil{};
  bool midLine = false;
  HWND blockOwner = nullptr;  // the progress window drawn last, for redrawing in place
  size_t blockLines = 0;
  uint64_t promptFor = 0;  // the window whose prompt is on screen
  // Lines read before the prompt on screen was written: a terminal echoed
  // them above it.
  size_t aheadOfPrompt = 0;
  std::mutex dirtyLock;    // guards `dirty`, `logLines` and `logLast`
  std::set<HWND> dirty;
  // Without a terminal every change of a window that takes no input is a
  // line of the log, in the order it happened (the window model tells each
  // one): drawing from the latest state would leave out whatever came and
  // went between two draws.
  std::map<HWND, std::vector<std::string>> logLines;
  std::map<HWND, std::map<int, std::string>> logLast;  // per control
  size_t logDropped = 0;
};

// Never destroyed, like the model: the thread may outlive main's return.
ConsoleState& g_console = *new ConsoleState;

void WakeLocked() {
  if (g_console.wake[1] < 0) return;
  char byte = 1;
  ssize_t ignored = ::write(g_console.wake[1], &byte, 1);
  (void)ignored;  // a full pipe already wakes the thread
}

void Emit(const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    ssize_t n = ::write(g_console.config.outputFd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
  if (!text.empty()) g_console.midLine = text.back() != '\n';
}

void EmitLines(const std::vector<std::string>& lines) {
  std::string out = g_console.midLine ? "\n" : "";
  for (const std::string& l : lines) out += l + "\n";
  Emit(out);
  g_console.blockOwner = nullptr;
}

void Settle() {
  g_console.settleUntil = Clock::now() + std::chrono::milliseconds(g_console.config.settleMs);
}

// Milliseconds until the settle is over, or kNoTimeout when it is.
int SettleWait() {
  auto now = Clock::now();
  if (now >= g_console.settleUntil) return kNoTimeout;
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(g_console.settleUntil - now).count() + 1);
}

void Finish(ConsoleRequest* request) {
  for (auto it = g_console.requests.begin(); it != g_console.requests.end(); ++it) {
    if (*it == request) {
      g_console.requests.erase(it);
      break;
    }
  }
  UiSignal(&request->done);
}

// ---------------------------------------------------------------------------
// Drawing dialogs.

// A window is first drawn once it says something: a progress window is
// opened empty and titled later, and that first state tells nobody anything.
bool HasContent(const UiDialogState& d) {
  bool texts = false;
  for (const UiControlState& c : d.controls) {
    if (c.kind != DialogControlKind::StaticText || !c.visible) continue;
    if (!c.text.empty()) return true;
    texts = true;
  }
  return !texts;
}

// A bar's picture, named by its place among the window's bars when it has
// several (a log has no layout to tell them apart).
std::string BarLogLine(const UiDialogState& d, size_t index) {
  size_t number = 0, bars = 0;
  for (size_t i = 0; i < d.controls.size(); i++) {
    if (d.controls[i].kind != DialogControlKind::ProgressBar || !d.controls[i].visible) continue;
    bars++;
    if (i <= index) number = bars;
  }
  std::string bar = ConsoleProgressBar(d.controls[index], kLogBarCells);
  return bars > 1 ? "bar " + std::to_string(number) + ": " + bar : bar;
}

// The window model's change watcher while the console writes a log: a
// static text's new text, or a progress bar's new picture, once per value.
void LogChange(const UiDialogState& d, int index, UiChange change) {
  if (change != UiChange::Text && change != UiChange::ProgressPos && change != UiChange::ProgressRange &&
      change != UiChange::Visible) {
    return;
  }
  if (index < 0 || static_cast<size_t>(index) >= d.controls.size()) return;
  const UiControlState& c = d.controls[static_cast<size_t>(index)];
  if (!c.visible) return;
  std::string line;
  if (c.kind == DialogControlKind::StaticText) line = Utf16ToUtf8(c.text);
  else if (c.kind == DialogControlKind::ProgressBar) line = BarLogLine(d, static_cast<size_t>(index));
  else return;
  std::lock_guard<std::mutex> guard(g_console.dirtyLock);
  std::string& last = g_console.logLast[d.hwnd][index];
  if (line == last) return;
  last = line;
  if (line.empty()) return;
  std::vector<std::string>& pending = g_console.logLines[d.hwnd];
  if (pending.size() < kMaxLoggedChanges) pending.push_back(line);
  else g_console.logDropped++;
}

void ForgetLog(HWND dialog) {
  std::lock_guard<std::mutex> guard(g_console.dirtyLock);
  g_console.logLines.erase(dialog);
  g_console.logLast.erase(dialog);
}

std::vector<std::string> TakeLogLines(HWND dialog) {
  std::lock_guard<std::mutex> guard(g_console.dirtyLock);
  std::vector<std::string> lines;
  auto it = g_console.logLines.find(dialog);
  if (it != g_console.logLines.end()) lines.swap(it->second);
  if (g_console.logDropped != 0) {
    lines.push_back("(" + std::to_string(g_console.logDropped) + " changes not shown)");
    g_console.logDropped = 0;
  }
  return lines;
}

// A window that takes no input, as lines when it changes (for logs) or
// redrawn in place on a terminal.
void DrawPassive(const UiDialogState& d, DialogView* view) {
  if (g_console.terminal) {
    std::vector<std::string> lines = ConsoleRenderDialog(d, ConsoleButtonKeys(d));
    if (g_console.blockOwner == d.hwnd && !g_console.midLine && g_console.blockLines > 0) {
      Emit("\x1b[" + std::to_string(g_console.blockLines) + "F\x1b[J");
    }
    EmitLines(lines);
    g_console.blockOwner = d.hwnd;
    g_console.blockLines = lines.size();
  } else {
    std::vector<std::string> out;
    if (view->printedTitle != d.title) {
      view->printedTitle = d.title;
      out.push_back("== " + Utf16ToUtf8(d.title) + " ==");
    }
    for (const std::string& change : TakeLogLines(d.hwnd)) {
      for (const std::string& line : ConsoleSplitLines(change)) out.push_back("   " + line);
    }
    if (!out.empty()) EmitLines(out);
  }
  view->dirty = false;
  view->lastDraw = Clock::now();
}

// Draws the passive windows that changed; returns when the next throttled
// redraw is due (ms) or kNoTimeout. While a prompt waits for its answer
// nothing is drawn (it would land under the prompt, or erase the typed
// answer); `flush` draws what is due now, before a question is printed.
int DrawPassiveWindows(bool hold, bool flush) {
  int timeout = kNoTimeout;
  {
    std::lock_guard<std::mutex> guard(g_console.dirtyLock);
    for (HWND h : g_console.dirty) {
      auto it = g_console.views.find(h);
      if (it != g_console.views.end()) it->second.dirty = true;
    }
    g_console.dirty.clear();
  }
  auto now = Clock::now();
  for (auto it = g_console.views.begin(); it != g_console.views.end();) {
    DialogView& view = it->second;
    UiDialogState d;
    bool alive = UiSnapshotDialog(it->first, &d);
    bool passive = alive && d.shown && d.visible && d.modalChildren == 0 && !UiDialogWaitsForUser(d) && HasContent(d);
    // A window that takes input is drawn whole at its prompt.
    if (alive && UiDialogWaitsForUser(d)) ForgetLog(it->first);
    if (passive && view.dirty && !hold) {
      auto since = std::chrono::duration_cast<std::chrono::milliseconds>(now - view.lastDraw).count();
      int wait = static_cast<int>(g_console.config.redrawMs) - static_cast<int>(since);
      if (g_console.terminal && wait > 0 && !view.closing && !flush) {
        timeout = timeout == kNoTimeout ? wait : std::min(timeout, wait);
      } else {
        DrawPassive(d, &view);
      }
    }
    if (view.closing) {
      if (g_console.blockOwner == it->first) g_console.blockOwner = nullptr;
      ForgetLog(it->first);
      UiSignal(view.closed);
      it = g_console.views.erase(it);
      // Whatever takes the input next is drawn again: its last picture is
      // above the window that just went.
      for (auto& other : g_console.views) other.second.drawn = false;
    } else {
      ++it;
    }
  }
  return timeout;
}

// ---------------------------------------------------------------------------
// Lines to windows.

void Prompt(uint64_t serial, const std::string& prompt) {
  Emit((g_console.midLine ? "\n" : "") + prompt);
  g_console.promptFor = serial;
  g_console.aheadOfPrompt = g_console.input.lines.size();
}

// The next line, as the answer to the prompt on screen.
std::string TakeLine() {
  std::string line = g_console.input.lines.front();
  g_console.input.lines.pop_front();
  if (g_console.aheadOfPrompt > 0) {
    // Typed ahead: a terminal echoed it somewhere above, so it is shown
    // again where it answers.
    g_console.aheadOfPrompt--;
    if (g_console.echoes) Emit(line + "\n");
  } else if (g_console.echoes) {
    g_console.midLine = false;  // the terminal's echo ended the prompt's line
  }
  g_console.promptFor = 0;
  return line;
}

void HandleDialogLine(const UiDialogState& d, const std::string& line) {
  std::vector<char> keys = ConsoleButtonKeys(d);
  ConsoleCommand command = ConsoleParseCommand(d, keys, line);
  bool done = true;
  std::string refusal;
  switch (command.kind) {
    case ConsoleCommandKind::Press:
      done = UiUserCommand(d.hwnd, command.controlId);
      refusal = "that button is disabled";
      break;
    case ConsoleCommandKind::Select:
      done = UiUserSelect(d.hwnd, command.controlId, command.selection);
      refusal = "the list does not take that selection";
      break;
    case ConsoleCommandKind::Click:
      done = UiUserMouseDown(d.hwnd, command.keys, 0, 0);
      break;
    case ConsoleCommandKind::Close:
      done = UiUserClose(d.hwnd);
      refusal = "this dialog has no close box";
      break;
    case ConsoleCommandKind::Escape:
      done = UiUserEscape(d.hwnd);
      break;
    case ConsoleCommandKind::Enter:
      done = UiUserEnter(d.hwnd);
      break;
    case ConsoleCommandKind::Help:
      EmitLines({kConsoleDialogHelp});
      g_console.views[d.hwnd].dirty = true;
      return;
    case ConsoleCommandKind::Unknown:
      done = false;
      refusal = command.error;
      break;
  }
  if (!done) {
    EmitLines({"  " + refusal});
    g_console.promptFor = 0;
  }
}

void ServeDialog(const UiDialogState& d, DialogView* view) {
  if (view->dirty || !view->drawn || g_console.promptFor != d.serial) {
    if (view->dirty || !view->drawn) EmitLines(ConsoleRenderDialog(d, ConsoleButtonKeys(d)));
    Prompt(d.serial, Utf16ToUtf8(d.title) + " (? for help)> ");
    view->dirty = false;
    view->drawn = true;
  }
  if (!g_console.input.lines.empty()) {
    HandleDialogLine(d, TakeLine());
    Settle();
  } else if (g_console.inputEnded && !view->closeSent) {
    // The end of the input closes what waits for it, as the user would.
    view->closeSent = (d.style & WS_SYSMENU) ? UiUserClose(d.hwnd) : UiUserEscape(d.hwnd);
    EmitLines({"  (end of input: closed)"});
    g_console.promptFor = 0;
    Settle();
  }
}

// A question about to be shown to someone at a terminal is answered by what
// is typed after it appears, never by keys pressed while something else was
// on screen: an Enter meant for a progress window must not restart the
// module. The kernel's unread input goes too.
void DropTypeAhead() {
  size_t dropped = g_console.input.lines.size() + (g_console.input.partial.empty() ? 0 : 1);
  ::tcflush(g_console.config.inputFd, TCIFLUSH);
  g_console.input.lines.clear();
  g_console.input.partial.clear();
  if (dropped != 0) {
    EmitLines({"  (" + std::to_string(dropped) + " line(s) typed before this question not taken as its answer)"});
  }
}

void ServeRequest(ConsoleRequest* request) {
  if (!request->shown || g_console.promptFor != request->serial) {
    if (!request->shown) EmitLines(request->text);
    if (!request->shown && request->kind == RequestKind::Question && g_console.echoes) DropTypeAhead();
    Prompt(request->serial, request->prompt);
    request->shown = true;
  }
  if (!g_console.input.lines.empty()) {
    std::string line = TakeLine();
    Settle();
    if (request->kind == RequestKind::Question) {
      request->answer = ConsoleParseAnswer(*request->box, line);
      if (request->answer == 0) {
        EmitLines({"  please answer with one of the letters in brackets"});
        return;  // asked again
      }
    } else {
      request->line = line;
    }
    Finish(request);
  } else if (g_console.inputEnded) {
    if (request->kind == RequestKind::Question) {
      // Nobody is there to decide: take the answer that changes nothing.
      request->answer = MessageBoxCautiousAnswer(*request->box);
      EmitLines({"  (end of input: " + Utf16ToUtf8(MessageBoxButtonText(request->answer)) +
                 ", the answer that changes nothing)"});
    } else {
      request->inputEnded = true;
      EmitLines({"  (end of input)"});
    }
    g_console.promptFor = 0;
    Settle();
    Finish(request);
  }
}

// The prompt on screen still waits for a line: its question is open, or its
// dialog still takes input (a dialog that a modal window disabled does not,
// and must not keep that window from being drawn).
bool PromptAlive() {
  if (g_console.promptFor == 0) return false;
  for (ConsoleRequest* r : g_console.requests) {
    if (r->serial == g_console.promptFor) return true;
  }
  for (HWND h : UiOpenDialogs()) {
    UiDialogState d;
    if (UiSnapshotDialog(h, &d) && d.serial == g_console.promptFor) return UiDialogWaitsForUser(d);
  }
  return false;
}

// Prints what only wants printing; serves the newest window that takes input.
int Step() {
  if (!PromptAlive()) g_console.promptFor = 0;
  // What the windows show now comes before a message about it.
  bool messageWaits = false;
  for (ConsoleRequest* r : g_console.requests) messageWaits = messageWaits || !r->shown;
  int timeout = DrawPassiveWindows(g_console.promptFor != 0, messageWaits);
  for (auto it = g_console.requests.begin(); it != g_console.requests.end();) {
    ConsoleRequest* r = *it;
    if (r->kind != RequestKind::Print) {
      ++it;
      continue;
    }
    EmitLines(r->text);
    it = g_console.requests.erase(it);
    UiSignal(&r->done);
  }
  if (int wait = SettleWait(); wait != kNoTimeout) return timeout == kNoTimeout ? wait : std::min(timeout, wait);
  ConsoleRequest* request = nullptr;
  uint64_t best = 0;
  for (ConsoleRequest* r : g_console.requests) {
    if (r->serial > best) {
      best = r->serial;
      request = r;
    }
  }
  UiDialogState dialog;
  bool haveDialog = false;
  for (HWND h : UiOpenDialogs()) {
    UiDialogState d;
    if (UiSnapshotDialog(h, &d) && d.serial > best && g_console.views.count(h)) {
      best = d.serial;
      dialog = d;
      haveDialog = true;
    }
  }
  if (haveDialog) {
    if (UiDialogWaitsForUser(dialog)) ServeDialog(dialog, &g_console.views[dialog.hwnd]);
  } else if (request) {
    ServeRequest(request);
  }
  // Serving a line starts a settle of its own: come back when it is over,
  // even if no other wake-up ever arrives (input may have ended).
  int wait = SettleWait();
  return wait == kNoTimeout ? timeout : (timeout == kNoTimeout ? wait : std::min(timeout, wait));
}

void TakeInput() {
  char buffer[kReadChunk];
  ssize_t n = ::read(g_console.config.inputFd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  // A terminal echoed what was typed below the last picture: the next one
  // cannot be drawn over it in place.
  if (g_console.echoes && n > 0) g_console.blockOwner = nullptr;
  if (n <= 0) {
    g_console.inputEnded = true;
    ConsoleInputEnd(&g_console.input);
    return;
  }
  ConsoleInputFeed(&g_console.input, buffer, static_cast<size_t>(n));
}

void ConsoleMain() {
  std::unique_lock<std::mutex> lock(g_console.lock);
  while (!g_console.stopping) {
    int timeout = Step();
    pollfd fds[2] = {{g_console.wake[0], POLLIN, 0}, {g_console.config.inputFd, POLLIN, 0}};
    nfds_t count = g_console.inputEnded ? 1 : 2;
    lock.unlock();
    ::poll(fds, count, timeout);
    lock.lock();
    char drain[kReadChunk];
    while (::read(g_console.wake[0], drain, sizeof drain) > 0) {
    }
    if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) TakeInput();
  }
}

void StartLocked() {
  if (g_console.running) return;
  if (::pipe2(g_console.wake, O_CLOEXEC | O_NONBLOCK) != 0) return;
  // A dumb terminal cannot move the cursor: it gets the log.
  const char* term = std::getenv("TERM");
  bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
  g_console.terminal = g_console.config.terminal >= 0 ? g_console.config.terminal != 0
                                                      : ::isatty(g_console.config.outputFd) == 1 && !dumb;
  UiSetChangeWatcher(g_console.terminal ? nullptr : LogChange);
  g_console.echoes = ::isatty(g_console.config.inputFd) == 1;
  g_console.stopping = false;
  g_console.inputEnded = false;
  g_console.input = ConsoleLineInput{};
  g_console.midLine = false;
  g_console.blockOwner = nullptr;
  g_console.promptFor = 0;
  g_console.aheadOfPrompt = 0;
  g_console.running = true;
  g_console.thread = std::thread(ConsoleMain);
}

// ---------------------------------------------------------------------------
// The backend's entries, on the callers' threads.

// Debug output while the console draws on standard error: whole lines below
// what is drawn, and a prompt they interrupt is written again.
void WriteDebug(const std::string& text) {
  std::lock_guard<std::mutex> guard(g_console.lock);
  if (!g_console.running || g_console.config.outputFd != STDERR_FILENO) {
    ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
    (void)ignored;  // nowhere left to report a failed write of a report
    return;
  }
  size_t end = text.find_last_not_of("\r\n");
  if (end == std::string::npos) return;
  EmitLines(ConsoleSplitLines(text.substr(0, end + 1)));
  g_console.promptFor = 0;
  WakeLocked();
}

bool Ready() {
  // Outside the console's lock: the debug output calls in with its own held.
  DebugSetWriter(WriteDebug);
  std::lock_guard<std::mutex> guard(g_console.lock);
  StartLocked();
  return g_console.running;
}

void Shown(HWND dialog) {
  std::lock_guard<std::mutex> guard(g_console.lock);
  g_console.views[dialog] = DialogView{};
  Settle();
  WakeLocked();
}

void Changed(HWND dialog, int, UiChange change) {
  std::lock_guard<std::mutex> guard(g_console.dirtyLock);
  if (change == UiChange::DialogEnabled) {
    // Nothing to draw, but a dialog taking input again may have a line
    // waiting for it, and nothing else may come to wake the thread.
    WakeLocked();
    return;
  }
  bool first = g_console.dirty.empty();
  g_console.dirty.insert(dialog);
  if (first) WakeLocked();
}

void Closed(HWND dialog, INT_PTR) {
  bool drawn = false;
  {
    std::lock_guard<std::mutex> guard(g_console.lock);
    auto it = g_console.views.find(dialog);
    if (it == g_console.views.end() || !g_console.running) {
      if (it != g_console.views.end()) g_console.views.erase(it);
      ForgetLog(dialog);  // a dialog that ended before it was shown
      return;
    }
    it->second.closing = true;
    it->second.closed = &drawn;
    Settle();
    WakeLocked();
  }
  // The last state of a progress window is drawn before it goes.
  UiWaitFor(&drawn);
}

// Hands `request` to the console thread and waits for it.
void Submit(ConsoleRequest* request) {
  {
    std::lock_guard<std::mutex> guard(g_console.lock);
    StartLocked();
    if (!g_console.running) return;
    g_console.requests.push_back(request);
    WakeLocked();
  }
  UiWaitFor(&request->done);
}

void Print(const std::vector<std::string>& lines) {
  ConsoleRequest request;
  request.text = lines;
  Submit(&request);
}

int AskBox(const UiMessageBox& box) {
  ConsoleRequest request;
  request.serial = box.serial;
  request.text = ConsoleRenderBox(box);
  if (box.buttonCount == 1) {
    Submit(&request);
    return box.buttons[0];
  }
  request.kind = RequestKind::Question;
  request.box = &box;
  request.prompt = ConsoleBoxPrompt(box);
  Submit(&request);
  return request.answer != 0 ? request.answer : MessageBoxCautiousAnswer(box);
}

std::string FilterText(const UiFileRequest& r) {
  if (r.filterIndex >= r.filters.size()) return "";
  std::u16string patterns;
  for (const std::u16string& p : r.filters[r.filterIndex].patterns) patterns += (patterns.empty() ? u"" : u";") + p;
  return " " + Utf16ToUtf8(r.filters[r.filterIndex].description) + " (" + Utf16ToUtf8(patterns) + ")";
}

// One line typed at the file prompt; false when the input ended.
bool AskLine(const UiFileRequest& r, std::string* line) {
  ConsoleRequest request;
  request.kind = RequestKind::Line;
  request.serial = r.serial;
  request.text = {"[" + Utf16ToUtf8(r.title) + "]" + FilterText(r) + " in " + Utf16ToUtf8(r.folder),
                  "  (a name or path; ? lists the folder, - cancels)"};
  request.prompt = "  file name" + (r.fileName.empty() ? std::string() : " [" + Utf16ToUtf8(r.fileName) + "]") + " > ";
  Submit(&request);
  *line = request.line;
  return !request.inputEnded && request.done;
}

bool ChooseFile(UiFileRequest* request, std::u16string* path) {
  std::string line;
  while (AskLine(*request, &line)) {
    std::string typed = line;
    typed.erase(0, typed.find_first_not_of(' '));
    typed.erase(typed.find_last_not_of(' ') + 1);
    if (typed == "-") break;
    if (typed == "?") {
      std::vector<std::string> listing;
      for (const FileDialogEntry& e : FileDialogList(*request, request->folder)) {
        listing.push_back("    " + Utf16ToUtf8(e.name) + (e.folder ? "\\" : ""));
      }
      if (listing.empty()) listing.push_back("    (nothing here)");
      Print(listing);
      continue;
    }
    std::u16string input = typed.empty() ? request->fileName : Utf8ToUtf16(typed);
    if (input.empty()) break;
    std::u16string message;
    switch (FileDialogCheck(*request, input, path, &message)) {
      case FileCheck::Accept:
        return true;
      case FileCheck::Folder:
        request->folder = *path;
        break;
      case FileCheck::Problem:
        Print({"  " + Utf16ToUtf8(message)});
        break;
      case FileCheck::AskOverwrite:
        if (MessageBoxW(request->owner, message.c_str(), request->title.c_str(), MB_YESNO | MB_ICONEXCLAMATION) ==
            IDYES) {
          return true;
        }
        break;
    }
  }
  Print({"  (cancelled)"});
  return false;
}

const UiBackendOps kConsoleOps = {
    "console", Ready, Shown, Changed, Closed, nullptr, AskBox, ChooseFile, nullptr, nullptr, nullptr,
};

}  // namespace

const UiBackendOps* ConsoleBackend() { return &kConsoleOps; }

void ConsoleUiConfigure(const ConsoleUiConfig& config) {
  ConsoleUiStop();
  std::lock_guard<std::mutex> guard(g_console.lock);
  g_console.config = config;
}

void ConsoleUiStop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(g_console.lock);
    if (!g_console.running) return;
    g_console.stopping = true;
    WakeLocked();
    thread = std::move(g_console.thread);
  }
  thread.join();
  std::lock_guard<std::mutex> guard(g_console.lock);
  for (ConsoleRequest* r : g_console.requests) {
    r->inputEnded = true;
    if (r->box) r->answer = MessageBoxCautiousAnswer(*r->box);
    UiSignal(&r->done);
  }
  g_console.requests.clear();
  for (auto& [hwnd, view] : g_console.views) {
    if (view.closing) UiSignal(view.closed);
  }
  g_console.views.clear();
  UiSetChangeWatcher(nullptr);
  {
    std::lock_guard<std::mutex> dirtyGuard(g_console.dirtyLock);
    g_console.logLines.clear();
    g_console.logLast.clear();
    g_console.logDropped = 0;
  }
  ::close(g_console.wake[0]);
  ::close(g_console.wake[1]);
  g_console.wake[0] = g_console.wake[1] = -1;
  g_console.running = false;
}
