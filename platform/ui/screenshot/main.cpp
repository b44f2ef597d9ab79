// fwscreenshot: draws a registered dialog into a PNG (scripts/screenshot).
#include "app/main_dialog.h"
#include "app/progress.h"
#include "platform/ui/renderable.h"

namespace {

// The main dialog as a NOR module shows it: the title set, no CPLD button.
INT_PTR MainDialogAsShown(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  SetWindowTextW(dialog, u"Flashwright 3.7.1");
  ShowWindow(GetDlgItem(dialog, IDC_MAIN_CPLD), SW_HIDE);
  return TRUE;
}

// The progress window half way through writing the sample OS image.
INT_PTR ProgressAsShown(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message != WM_INITDIALOG) return FALSE;
  SetWindowTextW(dialog, u"Image Update");
  SetDlgItemTextW(dialog, IDC_PROGRESS_STEP_TEXT, u"Section Start: 000b0000\nSection Len: 00010000 (65536)");
  SetDlgItemTextW(dialog, IDC_PROGRESS_TOTAL_TEXT, u"Image Start: 00080000\nImage Len: 00064000 (409600)");
  SendDlgItemMessageW(dialog, IDC_PROGRESS_STEP_BAR, PBM_SETRANGE32, 0, 64);
  SendDlgItemMessageW(dialog, IDC_PROGRESS_STEP_BAR, PBM_SETPOS, 40, 0);
  SendDlgItemMessageW(dialog, IDC_PROGRESS_TOTAL_BAR, PBM_SETRANGE32, 0, 400);
  SendDlgItemMessageW(dialog, IDC_PROGRESS_TOTAL_BAR, PBM_SETPOS, 232, 0);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  UiRegisterBuiltinRenderables();
  UiRegisterRenderable({"main", "the main dialog on a NOR module", &kMainDialogTemplate, MainDialogAsShown, 0});
  UiRegisterRenderable({"progress", "the progress window during an update", &kProgressDialogTemplate, ProgressAsShown, 0});
  return UiScreenshotMain(argc, argv);
}
