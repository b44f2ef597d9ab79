#include "platform/ui/console_render.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "platform/text.h"
#include "platform/ui/message_box.h"

namespace {

// The platform's average character is 4 dialog units wide and 8 high.
constexpr int kUnitsPerColumn = 4;
constexpr int kUnitsPerRow = 8;
constexpr int kMinBarCells = 10;
constexpr int kMaxBarCells = 40;
// What the percentage and brackets take beside a bar's cells.
constexpr int kBarDecoration = 7;
constexpr int kPercent = 100;
constexpr size_t kMinFrameWidth = 20;
constexpr char kQuitKey = 'q';
constexpr char kFirstDigitKey = '1';
constexpr char kLastDigitKey = '9';
// Least blanks between two controls side by side.
constexpr size_t kColumnGap = 1;

std::string Utf8(const std::u16string& text) { return Utf16ToUtf8(text); }

std::string PlainLabel(const std::u16string& text) { return Utf8(UiWithoutMnemonics(text)); }

std::string KeyedLabel(const std::string& label, char key) {
  if (key >= kFirstDigitKey && key <= kLastDigitKey) return std::string("[") + key + "] " + label;
  for (size_t i = 0; i < label.size(); i++) {
    if (std::tolower(static_cast<unsigned char>(label[i])) == key) {
      return label.substr(0, i) + "[" + label[i] + "]" + label.substr(i + 1);
    }
  }
  return std::string("[") + key + "] " + label;
}

bool IsButton(const UiControlState& c) {
  return c.kind == DialogControlKind::PushButton || c.kind == DialogControlKind::DefPushButton;
}

std::vector<std::string> ControlLines(const UiControlState& c, char key) {
  std::vector<std::string> lines;
  switch (c.kind) {
    case DialogControlKind::PushButton:
    case DialogControlKind::DefPushButton: {
      std::string label = PlainLabel(c.text);
      lines.push_back(c.enabled ? KeyedLabel(label, key) : "(" + label + ", disabled)");
      break;
    }
    case DialogControlKind::StaticText:
      if (!c.text.empty()) lines = ConsoleSplitLines(Utf8(c.text));
      break;
    case DialogControlKind::GroupBox:
      lines.push_back("-- " + Utf8(c.text) + (c.enabled ? "" : " (disabled)") + " --");
      break;
    case DialogControlKind::ListBox:
      for (size_t i = 0; i < c.items.size(); i++) {
        char head[32];
        std::snprintf(head, sizeof head, "%2zu [%c] ", i, c.selected[i] ? 'x' : ' ');
        lines.push_back(head + Utf8(c.items[i]));
      }
      if (lines.empty()) lines.push_back("(empty list)");
      if (!c.enabled) lines[0] += " (disabled)";
      break;
    case DialogControlKind::ProgressBar:
      lines.push_back(ConsoleProgressBar(c, std::clamp(c.width / kUnitsPerColumn - kBarDecoration, kMinBarCells,
                                                      kMaxBarCells)));
      break;
  }
  return lines;
}

// Writes `text` at `column` of `line`, or a blank after what is there.
void PlaceAt(std::string* line, size_t column, const std::string& text) {
  if (line->size() < column) line->append(column - line->size(), ' ');
  else if (!line->empty()) line->append(kColumnGap, ' ');
  *line += text;
}

std::string Trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

const char* IconName(UiIcon icon) {
  switch (icon) {
    case UiIcon::Error:
      return "(stop) ";
    case UiIcon::Question:
      return "(?) ";
    case UiIcon::Warning:
      return "(!) ";
    case UiIcon::Information:
      return "(i) ";
    case UiIcon::None:
      break;
  }
  return "";
}

bool ParseIndex(const std::string& text, size_t count, int* value) {
  if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), ::isdigit)) return false;
  *value = std::stoi(text);
  return static_cast<size_t>(*value) < count;
}

const UiControlState* FirstListBox(const UiDialogState& d) {
  for (const UiControlState& c : d.controls) {
    if (c.kind == DialogControlKind::ListBox && c.visible) return &c;
  }
  return nullptr;
}

// Entry numbers typed without the "l " that selects them.
std::string ListHint(const UiDialogState& d, const std::string& text) {
  const UiControlState* list = FirstListBox(d);
  std::vector<int> selection;
  if (list == nullptr || !ConsoleParseSelection(text, list->items.size(), &selection) || selection.empty()) {
    return "";
  }
  return "; to select list entries type: l " + text;
}

}  // namespace

const char kConsoleDialogHelp[] =
    "  KEY            press the button shown with [KEY]\n"
    "  (empty line)   Enter: the default button\n"
    "  l 0,2-3        select list entries (l none: select nothing)\n"
    "  click [right] [shift] [ctrl]   left click on the dialog with those held\n"
    "  close          the close box (also q, unless a button has it);  esc: Escape\n";

std::vector<std::string> ConsoleSplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::vector<char> ConsoleButtonKeys(const UiDialogState& dialog) {
  std::vector<char> keys(dialog.controls.size(), 0);
  std::string taken;
  char nextDigit = kFirstDigitKey;
  for (size_t i = 0; i < dialog.controls.size(); i++) {
    if (!IsButton(dialog.controls[i])) continue;
    for (char c : PlainLabel(dialog.controls[i].text)) {
      char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (std::isalpha(static_cast<unsigned char>(c)) && c > 0 && taken.find(lower) == std::string::npos) {
        keys[i] = lower;
        break;
      }
    }
    if (keys[i] == 0 && nextDigit <= kLastDigitKey) keys[i] = nextDigit++;
    if (keys[i] != 0) taken += keys[i];
  }
  return keys;
}

std::string ConsoleProgressBar(const UiControlState& bar, int width) {
  int64_t span = int64_t{bar.rangeMax} - bar.rangeMin;
  int64_t done = int64_t{bar.pos} - bar.rangeMin;
  int64_t percent = span > 0 ? std::clamp<int64_t>(done * kPercent / span, 0, kPercent) : 0;
  size_t cells = static_cast<size_t>(std::max(width, 0));
  size_t filled = static_cast<size_t>(percent) * cells / kPercent;
  char tail[16];
  std::snprintf(tail, sizeof tail, "] %3d%%", static_cast<int>(percent));
  std::string text = "[";
  text.append(filled, '#').append(cells - filled, '.').append(tail);
  return text;
}

std::vector<std::string> ConsoleRenderDialog(const UiDialogState& dialog, const std::vector<char>& keys) {
  struct Placed {
    size_t column;
    std::vector<std::string> lines;
  };
  std::map<int, std::vector<Placed>> rows;
  // Template columns to drawn ones: a text wider than its place pushes the
  // column after it to the right in every row, so what the template lines
  // up ("Start:" and "UsedBytes:" values) stays lined up.
  std::map<size_t, size_t> columns;
  std::vector<size_t> order(dialog.controls.size());
  for (size_t i = 0; i < order.size(); i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const UiControlState& ca = dialog.controls[a];
    const UiControlState& cb = dialog.controls[b];
    return ca.y != cb.y ? ca.y < cb.y : ca.x < cb.x;
  });
  for (size_t i : order) {
    const UiControlState& c = dialog.controls[i];
    if (!c.visible) continue;
    std::vector<std::string> lines = ControlLines(c, i < keys.size() ? keys[i] : 0);
    if (lines.empty()) continue;
    int row = (c.y + kUnitsPerRow / 2) / kUnitsPerRow;
    size_t column = static_cast<size_t>(std::max(0, c.x / kUnitsPerColumn));
    rows[row].push_back(Placed{column, lines});
    columns[column] = column;
  }
  size_t shift = 0;
  for (auto& [column, drawn] : columns) {
    drawn = column + shift;
    for (auto& [row, placed] : rows) {
      const Placed* left = nullptr;
      bool here = false;
      for (const Placed& p : placed) {
        here = here || p.column == column;
        if (p.column < column && (left == nullptr || p.column > left->column)) left = &p;
      }
      if (!here || left == nullptr) continue;
      for (const std::string& l : left->lines) drawn = std::max(drawn, columns[left->column] + l.size() + kColumnGap);
    }
    shift = drawn - column;
  }
  size_t frame = std::max(kMinFrameWidth, static_cast<size_t>(std::max(0, dialog.width / kUnitsPerColumn)));
  std::string title = "+- " + Utf8(dialog.title) + " ";
  std::vector<std::string> out;
  out.push_back(title + std::string(title.size() < frame ? frame - title.size() : 2, '-'));
  for (auto& [row, placed] : rows) {
    size_t height = 0;
    for (const Placed& p : placed) height = std::max(height, p.lines.size());
    for (size_t k = 0; k < height; k++) {
      std::string line;
      for (const Placed& p : placed) {
        if (k < p.lines.size()) PlaceAt(&line, columns[p.column], p.lines[k]);
      }
      out.push_back("| " + line);
    }
  }
  out.push_back(std::string("+").append(frame, '-'));
  return out;
}

std::vector<std::string> ConsoleRenderBox(const UiMessageBox& box) {
  std::vector<std::string> lines = ConsoleSplitLines(Utf8(box.text));
  std::string head = "[";
  head.append(Utf8(box.caption)).append("] ").append(IconName(box.icon));
  std::vector<std::string> out;
  for (size_t i = 0; i < lines.size(); i++) {
    out.push_back((i == 0 ? head : std::string(head.size(), ' ')) + lines[i]);
  }
  return out;
}

std::string ConsoleBoxPrompt(const UiMessageBox& box) {
  std::string prompt = "  ";
  for (int i = 0; i < box.buttonCount; i++) {
    std::string name = Utf8(MessageBoxButtonText(box.buttons[i]));
    prompt += (i ? " / [" : "[") + name.substr(0, 1) + "]" + name.substr(1);
  }
  return prompt + " (Enter: " + Utf8(MessageBoxButtonText(box.defaultButton)) + ") > ";
}

int ConsoleParseAnswer(const UiMessageBox& box, const std::string& line) {
  std::string answer = Lower(Trim(line));
  if (answer.empty()) return box.defaultButton;
  for (int i = 0; i < box.buttonCount; i++) {
    std::string name = Lower(Utf8(MessageBoxButtonText(box.buttons[i])));
    if (answer == name || answer == name.substr(0, 1)) return box.buttons[i];
  }
  return 0;
}

bool ConsoleParseSelection(const std::string& text, size_t count, std::vector<int>* selection) {
  selection->clear();
  std::string all = Trim(text);
  if (all == "none" || all == "-") return true;
  if (all.empty()) return false;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(',', start);
    std::string part = Trim(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
    size_t dash = part.find('-');
    int first = 0, last = 0;
    if (dash == std::string::npos) {
      if (!ParseIndex(part, count, &first)) return false;
      last = first;
    } else if (!ParseIndex(Trim(part.substr(0, dash)), count, &first) ||
               !ParseIndex(Trim(part.substr(dash + 1)), count, &last) || last < first) {
      return false;
    }
    for (int i = first; i <= last; i++) {
      if (std::find(selection->begin(), selection->end(), i) == selection->end()) selection->push_back(i);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::sort(selection->begin(), selection->end());
  return true;
}

ConsoleCommand ConsoleParseCommand(const UiDialogState& dialog, const std::vector<char>& keys,
                                   const std::string& line) {
  ConsoleCommand command;
  std::string text = Trim(line);
  std::string lower = Lower(text);
  if (text.empty()) {
    command.kind = ConsoleCommandKind::Enter;
  } else if (lower == "?" || lower == "help") {
    command.kind = ConsoleCommandKind::Help;
  } else if (lower == "close" || lower == "quit") {
    command.kind = ConsoleCommandKind::Close;
  } else if (lower == "esc" || lower == "escape") {
    command.kind = ConsoleCommandKind::Escape;
  } else if (lower == "click" || lower.rfind("click ", 0) == 0) {
    command.kind = ConsoleCommandKind::Click;
    size_t at = 5;
    while (at < lower.size()) {
      size_t end = lower.find(' ', at + 1);
      std::string word = Trim(lower.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (word == "right") command.keys |= MK_RBUTTON;
      else if (word == "shift") command.keys |= MK_SHIFT;
      else if (word == "ctrl" || word == "control") command.keys |= MK_CONTROL;
      else if (!word.empty()) {
        command.kind = ConsoleCommandKind::Unknown;
        command.error = "click takes right, shift and ctrl, not '" + word + "'";
        return command;
      }
      if (end == std::string::npos) break;
      at = end;
    }
  } else if (lower.size() > 2 && lower[0] == 'l' && lower[1] == ' ') {
    const UiControlState* list = FirstListBox(dialog);
    if (list != nullptr) command.controlId = list->id;
    if (list == nullptr) {
      command.error = "this dialog has no list";
    } else if (!ConsoleParseSelection(text.substr(2), list->items.size(), &command.selection)) {
      command.error = "select entries like: l 0,2-3 (there are " + std::to_string(list->items.size()) + ")";
    } else {
      command.kind = ConsoleCommandKind::Select;
    }
  } else if (text.size() == 1) {
    char key = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    for (size_t i = 0; i < keys.size(); i++) {
      if (keys[i] == key && dialog.controls[i].visible) {
        command.kind = ConsoleCommandKind::Press;
        command.controlId = dialog.controls[i].id;
      }
    }
    // q leaves a dialog, as in other console programs, unless a button has it.
    if (command.kind != ConsoleCommandKind::Press && key == kQuitKey) {
      command.kind = ConsoleCommandKind::Close;
    } else if (command.kind != ConsoleCommandKind::Press) {
      command.error = "no button has the key '" + text + "'" + ListHint(dialog, text);
    }
  } else {
    command.error = "unknown input '" + text + "'" + ListHint(dialog, text);
  }
  return command;
}
