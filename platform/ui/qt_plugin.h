// The Qt window system as a plug-in: flashwright-qt.so beside the program,
// loaded only when a run chooses Qt, so that console runs never load the GUI
// toolkit's libraries. The plug-in's own code calls into the window model
// the program exports; this table is all the program asks of the plug-in.
#pragma once

#include <string>

#include "platform/ui/backend.h"

struct UiQtPlugin {
  const UiBackendOps* (*backend)();
  // QtRunProgram (qt/qt_backend.h).
  int (*runProgram)(int (*entry)(void* context), void* context);
};

constexpr const char* kUiQtPluginFile = "flashwright-qt.so";
constexpr const char* kUiQtPluginEntry = "FlashwrightQtPlugin";
// The entry's type: extern "C" const UiQtPlugin* FlashwrightQtPlugin().
using UiQtPluginEntry = const UiQtPlugin* (*)();

// Loads the plug-in from the running program's folder the first time and
// returns its table; null with `error` saying why when it cannot.
const UiQtPlugin* UiLoadQtPlugin(std::string* error);
