// Dialogs and message boxes as text, and what the console's input lines mean.
// Pure functions over model snapshots; console_ui.cpp does the talking.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/backend.h"
#include "platform/ui/window_model.h"

// The key of each control (0 for none): buttons get the first letter of
// their text not taken by an earlier button, else a digit. Keys follow the
// template's order, so they stay put when buttons hide or show.
std::vector<char> ConsoleButtonKeys(const UiDialogState& dialog);

// The dialog drawn as lines: title, then the visible controls row by row
// (8 dialog units a line, 4 a column). Buttons show their key ("[S]ave"),
// disabled ones are marked, list entries carry their index and selection
// mark, progress bars a bar and percentage.
std::vector<std::string> ConsoleRenderDialog(const UiDialogState& dialog, const std::vector<char>& keys);

// "[#####.....]  50%" in `width` cells between the brackets.
std::string ConsoleProgressBar(const UiControlState& bar, int width);

// `text` cut at its line breaks.
std::vector<std::string> ConsoleSplitLines(const std::string& text);

// A message box: caption, icon and text lines.
std::vector<std::string> ConsoleRenderBox(const UiMessageBox& box);
// The question's prompt: "[Y]es / [N]o (Enter: No) > ".
std::string ConsoleBoxPrompt(const UiMessageBox& box);
// The answer a line gives (first letters of the button names, or the whole
// name, any case; an empty line is the default button); 0 for none.
int ConsoleParseAnswer(const UiMessageBox& box, const std::string& line);

// Indices such as "0,2-4" for a list of `count` entries ("none" or "-" for
// none); false for anything else or an index out of range.
bool ConsoleParseSelection(const std::string& text, size_t count, std::vector<int>* selection);

enum class ConsoleCommandKind : uint8_t { Press, Select, Click, Close, Escape, Enter, Help, Unknown };

struct ConsoleCommand {
  ConsoleCommandKind kind = ConsoleCommandKind::Unknown;
  int controlId = 0;           // Press, Select
  std::vector<int> selection;  // Select
  WPARAM keys = 0;             // Click: MK_RBUTTON, MK_SHIFT, MK_CONTROL
  std::string error;           // Unknown: why
};

// What a line typed at a dialog asks for.
ConsoleCommand ConsoleParseCommand(const UiDialogState& dialog, const std::vector<char>& keys,
                                   const std::string& line);

// The help text of a dialog's input.
extern const char kConsoleDialogHelp[];
