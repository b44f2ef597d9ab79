// fwscreenshot: draws a registered dialog into a PNG (scripts/screenshot).
#include "app/main_dialog.h"
#include "platform/ui/renderable.h"

namespace {

// The main dialog as a NOR module shows it: the title set, no CPLD button.
INT_PTR MainDialogAsShown(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  SetWindowTextW(dialog, u"Flashwright 3.7.1");
  ShowWindow(GetDlgItem(dialog, IDC_MAIN_CPLD), SW_HIDE);
  return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
  UiRegisterBuiltinRenderables();
  UiRegisterRenderable({"main", "the main dialog on a NOR module", &kMainDialogTemplate, MainDialogAsShown, 0});
  return UiScreenshotMain(argc, argv);
}
