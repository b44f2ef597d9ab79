// Selecting the window system and running the program under it. Lives with
// the Qt backend because it is the one piece that knows every backend.
#include "platform/ui/console_ui.h"
#include "platform/ui/qt/qt_backend.h"
#include "platform/ui/recording.h"
#include "platform/ui/ui_backend.h"
#include "platform/ui/window_model.h"

void UiSelectBackend(UiBackendKind kind) {
  switch (kind) {
    case UiBackendKind::Qt:
      UiSetBackend(QtBackend());
      break;
    case UiBackendKind::Console:
      UiSetBackend(ConsoleBackend());
      break;
    case UiBackendKind::Auto:
    case UiBackendKind::Recording:
      UiSetBackend(RecordingBackend());
      break;
  }
}

int UiRunProgram(int (*entry)(void* context), void* context) {
  if (UiSelectedBackend() == UiBackendKind::Qt) return QtRunProgram(entry, context);
  return entry(context);
}
