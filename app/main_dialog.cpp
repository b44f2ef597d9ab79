#include "app/main_dialog.h"

#include <initializer_list>

#include "app/backup_dialog.h"
#include "app/cpld_report.h"
#include "app/flow_thread.h"
#include "app/messages.h"
#include "app/shell_state.h"
#include "app/system_ops.h"
#include "app/update_flow.h"
#include "app/version_report.h"
#include "flash/bsp.h"
#include "flash/hardware.h"
#include "fwlib/results.h"
#include "platform/format.h"

namespace {

constexpr DWORD kButton = WS_VISIBLE | WS_TABSTOP;

const DialogControl kMainControls[] = {
    {IDC_MAIN_SAVE, DialogControlKind::PushButton, u"Save", 7, 13, 49, 12, kButton},
    {IDC_MAIN_CLEAR, DialogControlKind::PushButton, u"Clear", 62, 13, 49, 12, kButton},
    {IDC_MAIN_UPDATE, DialogControlKind::PushButton, u"Update", 7, 44, 49, 12, kButton},
    {IDC_MAIN_BACKUP, DialogControlKind::PushButton, u"Backup", 62, 44, 49, 12, kButton},
    {IDC_MAIN_VERSION, DialogControlKind::PushButton, u"Version Info", 7, 61, 49, 12, kButton},
    {IDC_MAIN_CPLD, DialogControlKind::PushButton, u"CPLDVersion", 62, 61, 49, 12, kButton},
    {IDC_MAIN_WARMBOOT, DialogControlKind::PushButton, u"Warmboot", 5, 82, 49, 19, kButton},
    {IDC_MAIN_COLDBOOT, DialogControlKind::PushButton, u"Coldboot", 64, 82, 49, 19, kButton},
    {IDC_STATIC, DialogControlKind::GroupBox, u"Flash Registry", 3, 1, 112, 29, WS_VISIBLE},
    {IDC_MAIN_IMAGE_GROUP, DialogControlKind::GroupBox, u"Bootloader / Image", 3, 33, 112, 44, WS_VISIBLE},
};

// The program's version, shown in the title.
constexpr int kVersionMajor = 3;
constexpr int kVersionMinor = 7;
constexpr int kVersionBuild = 1;

// The CPLD lives on the NAND modules only; a layout whose unit at byte 6 reads
// 0x006D marks a board without one too.
constexpr uint32_t kNoCpldPartCode = 17;
constexpr uint16_t kNoCpldLayoutMark = 0x006D;
constexpr uint32_t kCpldQueryBytes = 8;

void SetTitle(HWND dialog) {
  WCHAR title[32];
  StringCchPrintfW(title, 32, u"Flashwright %d.%d.%d", kVersionMajor, kVersionMinor, kVersionBuild);
  SetWindowTextW(dialog, title);
}

void DisableImageButtons(HWND dialog) {
  for (int id : {IDC_MAIN_UPDATE, IDC_MAIN_BACKUP, IDC_MAIN_VERSION, IDC_MAIN_IMAGE_GROUP}) {
    EnableWindow(GetDlgItem(dialog, id), FALSE);
  }
}

void ApplyCpldButtonRule(HWND dialog) {
  uint8_t answer[kCpldQueryBytes] = {};
  BspGetInfo(BSP_INFO_FLASH_LAYOUT, answer, kCpldQueryBytes);
  uint16_t mark = static_cast<uint16_t>(answer[6] | answer[7] << 8);
  if (CpuPartCode() == kNoCpldPartCode || mark == kNoCpldLayoutMark) {
    ShowWindow(GetDlgItem(dialog, IDC_MAIN_CPLD), SW_HIDE);
  }
}

INT_PTR OnInit(HWND dialog, uint32_t initResult) {
  SetTitle(dialog);
  if (initResult == FWL_ERR_FLASH_INIT) {
    ShowError(dialog, u"Could not initialize Flash.");
    DisableImageButtons(dialog);
  } else if (initResult != FWL_OK) {
    ShowErrorFormatted(dialog, u"FWLInit: Unknown Error: %d", static_cast<int>(initResult));
    return FALSE;
  }
  ApplyCpldButtonRule(dialog);
  g_shell.mainWindow = dialog;
  return TRUE;
}

// The update runs beside the dialog so that its progress window stays live;
// the dialog does not wait for it.
void StartImageUpdate(HWND dialog) {
  if (!StartFlowThread(dialog, RunImageUpdate, &g_shell.updateThread)) {
    ShowError(dialog, u"Could not start the image update.");
  }
}

INT_PTR OnCommand(HWND dialog, int id) {
  switch (id) {
    case IDCANCEL:
      WaitForFlowThread(&g_shell.updateThread);
      EndDialog(dialog, 0);
      return TRUE;
    case IDC_MAIN_UPDATE:
      StartImageUpdate(dialog);
      return TRUE;
    case IDC_MAIN_CLEAR:
      ClearRegistry(dialog);
      return TRUE;
    case IDC_MAIN_SAVE:
      SaveRegistry(dialog);
      return TRUE;
    case IDC_MAIN_COLDBOOT:
      ResetSystem(1);
      return TRUE;
    case IDC_MAIN_WARMBOOT:
      ResetSystem(0);
      return TRUE;
    case IDC_MAIN_BACKUP:
      DialogBoxParamW(g_shell.instance, MAKEINTRESOURCE(IDD_BACKUP), dialog, BackupDialogProc, 0);
      return TRUE;
    case IDC_MAIN_VERSION:
      ShowVersionReport(dialog);
      return TRUE;
    case IDC_MAIN_CPLD:
      ShowCpldVersion(dialog);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

const DialogTemplate kMainDialogTemplate = {
    IDD_MAIN,     u"Flashwright", 118, 106, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, u"System", 8,
    kMainControls, sizeof kMainControls / sizeof kMainControls[0]};

INT_PTR MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInit(dialog, static_cast<uint32_t>(lParam));
    case WM_COMMAND:
      return OnCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}
