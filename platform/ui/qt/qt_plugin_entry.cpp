// What the program finds in flashwright-qt.so by name (ui/qt_plugin.h).
#include "platform/ui/qt/qt_backend.h"
#include "platform/ui/qt_plugin.h"

extern "C" const UiQtPlugin* FlashwrightQtPlugin() {
  static const UiQtPlugin kPlugin = {QtBackend, QtRunProgram};
  return &kPlugin;
}
