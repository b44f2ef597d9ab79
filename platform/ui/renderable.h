// Dialogs and message boxes that scripts/screenshot can draw into a PNG for
// the docs, by name. The program adds its own with UiRegisterRenderable (in
// the screenshot tool's main): a dialog with a procedure and parameter that
// bring it into a state worth showing without asking anything, or a scene
// that opens the message box to be shown.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/window.h"

struct RenderableDialog {
  std::string name;
  std::string description;
  const DialogTemplate* dialogTemplate = nullptr;
  DLGPROC proc = nullptr;  // runs WM_INITDIALOG with `param`; the dialog is drawn after it
  LPARAM param = 0;
  // Instead of a template: runs with `param` on a thread of its own, as a
  // flow of the program does. The first message box it opens is drawn and
  // then answered with its default button, as is any later one, so the
  // scene runs to its end.
  void (*scene)(LPARAM param) = nullptr;
};

// Adds `dialog`, replacing one of the same name.
void UiRegisterRenderable(const RenderableDialog& dialog);
// The dialog named `name`, or null.
const RenderableDialog* UiFindRenderable(const std::string& name);
std::vector<RenderableDialog> UiRenderables();
// The window system's own: "sample".
void UiRegisterBuiltinRenderables();

// Draws `dialog` offscreen into a PNG at `path`: the dialog (or the scene's
// message box) with a caption bar drawn after the platform's. Makes the QApplication when there is none
// (offscreen unless QT_QPA_PLATFORM says otherwise); must then be called on
// the thread that is to own it. Uses the Qt backend for the time it runs.
bool UiRenderDialogToPng(const RenderableDialog& dialog, const std::string& path, std::string* error);

// The screenshot tool: "NAME OUT.png" or "--list". Returns the exit code.
int UiScreenshotMain(int argc, char** argv);
