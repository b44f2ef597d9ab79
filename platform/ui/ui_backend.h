// Choosing and starting the window system, for the host.
#pragma once

#include <string>

enum class UiBackendKind : uint8_t { Auto, Qt, Console, None, Recording };

// What the choice looks at in the environment.
struct UiEnvironment {
  std::string display;         // DISPLAY
  std::string waylandDisplay;  // WAYLAND_DISPLAY
  std::string qpaPlatform;     // QT_QPA_PLATFORM
  std::string runtimeDir;      // XDG_RUNTIME_DIR
};
UiEnvironment UiEnvironmentOfProcess();

// `requested` unless Auto; then Qt when a display is available (QT_QPA_PLATFORM
// set, an X display whose local socket exists or a remote one, a Wayland
// socket that exists), else the console.
UiBackendKind UiChooseBackend(UiBackendKind requested, const UiEnvironment& environment);

// Makes `kind` (not Auto) the window system of the process. Qt is loaded
// from its plug-in beside the program here; when that fails nothing changes
// and `error` (may be null) says why. With Qt the application object is made
// later, on the thread that runs UiRunProgram, when the first window needs it.
bool UiSelectBackend(UiBackendKind kind, std::string* error = nullptr);
UiBackendKind UiSelectedBackend();

// Runs `entry(context)` and returns its result. With Qt the calling thread
// (the process's main thread) becomes the GUI thread: the entry runs on a
// second thread, and the Qt event loop runs here from the first window on,
// until the entry returns. Other backends call the entry directly.
int UiRunProgram(int (*entry)(void* context), void* context);

// Stops what the selected backend keeps running (the console's input thread).
void UiStop();

// Forgets templates, windows, recording script and log, the last file-dialog
// folder; selects the recording backend. Only with no dialog open.
void UiResetForTests();
