// Selecting the window system and running the program under it. Qt is
// reached through its plug-in (qt_plugin.h), so this knows every backend
// without linking the toolkit.
#include "platform/ui/console_ui.h"
#include "platform/ui/none_ui.h"
#include "platform/ui/qt_plugin.h"
#include "platform/ui/recording.h"
#include "platform/ui/ui_backend.h"
#include "platform/ui/window_model.h"

namespace {

// How the selected backend runs the program; null: the entry is called directly.
int (*g_runProgram)(int (*entry)(void* context), void* context) = nullptr;

}  // namespace

bool UiSelectBackend(UiBackendKind kind, std::string* error) {
  const UiBackendOps* backend = RecordingBackend();
  g_runProgram = nullptr;
  switch (kind) {
    case UiBackendKind::Qt: {
      std::string why;
      const UiQtPlugin* qt = UiLoadQtPlugin(&why);
      if (qt == nullptr) {
        if (error) *error = "the Qt window system cannot be loaded (" + why + "); --ui console draws in the terminal";
        return false;
      }
      backend = qt->backend();
      g_runProgram = qt->runProgram;
      break;
    }
    case UiBackendKind::Console:
      backend = ConsoleBackend();
      break;
    case UiBackendKind::None:
      backend = NoneBackend();
      break;
    case UiBackendKind::Auto:
    case UiBackendKind::Recording:
      break;
  }
  UiSetBackend(backend);
  return true;
}

int UiRunProgram(int (*entry)(void* context), void* context) {
  return g_runProgram ? g_runProgram(entry, context) : entry(context);
}
