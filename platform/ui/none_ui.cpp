#include "platform/ui/none_ui.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <set>
#include <string>

#include "platform/text.h"
#include "platform/ui/console_render.h"
#include "platform/ui/message_box.h"
#include "platform/ui/window_model.h"

namespace {

// A dialog its owner's modal window still blocks is asked again this soon.
constexpr uint32_t kRetryMs = 10;

struct NoneState {
  std::mutex lock;
  std::set<HWND> closeSent;  // each dialog is closed once; its procedure may take its time to end
};

NoneState g_none;

// One write per message, so lines of several threads never interleave.
void WriteLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed or full standard error must not stop the run
    p += n;
    left -= static_cast<size_t>(n);
  }
}

bool Ready() { return true; }
void Shown(HWND) {}
void Changed(HWND, int, UiChange) {}

void Closed(HWND dialog, INT_PTR) {
  std::lock_guard<std::mutex> guard(g_none.lock);
  g_none.closeSent.erase(dialog);
}

uint32_t Idle(HWND dialog) {
  UiDialogState d;
  if (!UiSnapshotDialog(dialog, &d) || !UiDialogWaitsForUser(d)) return 0;
  {
    std::lock_guard<std::mutex> guard(g_none.lock);
    if (g_none.closeSent.count(dialog)) return 0;
  }
  bool sent = (d.style & WS_SYSMENU) ? UiUserClose(dialog) : UiUserEscape(dialog);
  if (!sent) return kRetryMs;
  WriteLines({"[" + Utf16ToUtf8(d.title) + "] (no window: closed)"});
  std::lock_guard<std::mutex> guard(g_none.lock);
  g_none.closeSent.insert(dialog);
  return 0;
}

int AnswerBox(const UiMessageBox& box) {
  std::vector<std::string> lines = ConsoleRenderBox(box);
  if (box.buttonCount == 1) {
    WriteLines(lines);
    return box.buttons[0];
  }
  int answer = MessageBoxCautiousAnswer(box);
  lines.push_back("  (no window: " + Utf16ToUtf8(MessageBoxButtonText(answer)) + ", the answer that changes nothing)");
  WriteLines(lines);
  return answer;
}

bool ChooseFile(UiFileRequest* request, std::u16string*) {
  WriteLines({"[" + Utf16ToUtf8(request->title) + "] (no window: cancelled)"});
  return false;
}

const UiBackendOps kNoneOps = {
    "none", Ready, Shown, Changed, Closed, Idle, AnswerBox, ChooseFile, nullptr, nullptr, nullptr,
};

}  // namespace

const UiBackendOps* NoneBackend() { return &kNoneOps; }
