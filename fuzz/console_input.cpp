// What a terminal delivers to the console window system: the input is the
// bytes, taken in reads of varying length. Every byte is taken; the lines
// stay within their limits and, where the input kept to them, are exactly
// the lines typed. Each line then goes to the sample dialog and to a
// question as the console hands it on: what it asks for exists, and what is
// said back stays bounded by what was typed.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/support/fuzz_module.h"
#include "platform/ui/console_input.h"
#include "platform/ui/console_render.h"
#include "platform/ui/sample_dialog.h"
#include "platform/ui/window_model.h"

namespace {

// Reads come in these sizes, in turn, so that line ends fall on every kind
// of boundary between them.
constexpr size_t kReadSizes[] = {1, 3, 64, 4096};
// A refusal quotes the line at most twice around a sentence of its own.
constexpr size_t kRefusalSlack = 128;
constexpr const char16_t* kSampleEntries[] = {u"Bootloader", u"Config Block", u"OS Image", u"File System"};

struct Console {
  UiDialogState sample;
  std::vector<char> keys;
  UiMessageBox question;
};

// The sample dialog as the model holds it once its procedure filled the list.
Console MakeConsole() {
  Console c;
  {
    auto lock = UiLock();
    UiDialogState* made = UiCreateDialogLocked(&kSampleDialog, nullptr, nullptr);
    if (made == nullptr) FuzzFail("the sample dialog cannot be made");
    c.sample = *made;
    UiDestroyDialogLocked(made->hwnd);
  }
  for (UiControlState& control : c.sample.controls) {
    if (control.kind != DialogControlKind::ListBox) continue;
    control.items.assign(std::begin(kSampleEntries), std::end(kSampleEntries));
    control.selected.assign(control.items.size(), 0);
  }
  c.keys = ConsoleButtonKeys(c.sample);
  c.question.buttons[0] = IDYES;
  c.question.buttons[1] = IDNO;
  c.question.buttons[2] = IDCANCEL;
  c.question.buttonCount = 3;
  c.question.defaultButton = IDNO;
  return c;
}

// The lines typed, when every one keeps to the limits; otherwise nothing to
// compare with.
bool TypedLines(const std::string& bytes, std::vector<std::string>* lines) {
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = std::min(bytes.find('\n', start), bytes.size());
    std::string line = bytes.substr(start, end - start);
    if (line.size() > kConsoleMaxLineBytes) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
    start = end + 1;
  }
  return lines->size() <= kConsoleMaxPendingLines;
}

const UiControlState* ControlWithId(const UiDialogState& dialog, int id) {
  for (const UiControlState& c : dialog.controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

void CheckCommand(const Console& c, const std::string& line) {
  ConsoleCommand command = ConsoleParseCommand(c.sample, c.keys, line);
  const UiControlState* target = ControlWithId(c.sample, command.controlId);
  switch (command.kind) {
    case ConsoleCommandKind::Press:
      if (target == nullptr || !target->visible) FuzzFail("a press of no visible control %d", command.controlId);
      break;
    case ConsoleCommandKind::Select:
      if (target == nullptr || target->kind != DialogControlKind::ListBox) FuzzFail("a selection outside a list");
      if (!std::is_sorted(command.selection.begin(), command.selection.end()) ||
          std::adjacent_find(command.selection.begin(), command.selection.end()) != command.selection.end()) {
        FuzzFail("a selection out of order or twice");
      }
      for (int i : command.selection) {
        if (i < 0 || static_cast<size_t>(i) >= target->items.size()) FuzzFail("entry %d selected", i);
      }
      break;
    default:
      break;
  }
  if (command.error.size() > 2 * line.size() + kRefusalSlack) FuzzFail("a refusal of %zu bytes", command.error.size());
  int answer = ConsoleParseAnswer(c.question, line);
  const int* buttons = c.question.buttons;
  if (answer != 0 && std::find(buttons, buttons + c.question.buttonCount, answer) == buttons + c.question.buttonCount) {
    FuzzFail("the answer %d is none of the question's buttons", answer);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Console console = MakeConsole();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  ConsoleLineInput input;
  for (size_t at = 0, read = 0; at < bytes.size(); read++) {
    size_t n = std::min(kReadSizes[read % std::size(kReadSizes)], bytes.size() - at);
    ConsoleInputFeed(&input, bytes.data() + at, n);
    at += n;
  }
  ConsoleInputEnd(&input);
  if (input.lines.size() > kConsoleMaxPendingLines || !input.partial.empty()) {
    FuzzFail("%zu lines waiting, %zu bytes left over", input.lines.size(), input.partial.size());
  }
  for (const std::string& line : input.lines) {
    if (line.size() > kConsoleMaxLineBytes || line.find('\n') != std::string::npos) {
      FuzzFail("a line of %zu bytes", line.size());
    }
  }
  std::vector<std::string> typed;
  if (TypedLines(bytes, &typed) && !std::equal(typed.begin(), typed.end(), input.lines.begin(), input.lines.end())) {
    FuzzFail("the lines taken are not the lines typed");
  }
  for (const std::string& line : input.lines) CheckCommand(console, line);
  return 0;
}
