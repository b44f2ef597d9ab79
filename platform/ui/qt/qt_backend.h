// The Qt 6 Widgets backend. Widgets live on the GUI thread (the thread that
// made the QApplication); every call from other threads is posted there and,
// where it needs an answer, waited for.
#pragma once

#include "platform/ui/backend.h"

const UiBackendOps* QtBackend();

// Runs `entry(context)` on a second thread; the calling thread makes the
// QApplication when the first window needs it, runs the event loop until the
// entry returns, and returns the entry's result. Without any window Qt is
// never started.
int QtRunProgram(int (*entry)(void* context), void* context);
