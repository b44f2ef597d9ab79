// fwscreenshot: draws a registered dialog into a PNG (scripts/screenshot).
#include "platform/ui/renderable.h"

int main(int argc, char** argv) {
  UiRegisterBuiltinRenderables();
  // The program's own dialogs are registered here as they come.
  return UiScreenshotMain(argc, argv);
}
