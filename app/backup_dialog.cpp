#include "app/backup_dialog.h"

#include "app/flow_thread.h"
#include "app/messages.h"
#include "app/region_flows.h"
#include "app/shell_state.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "platform/format.h"

namespace {

constexpr DWORD kList = WS_VISIBLE | WS_TABSTOP | WS_BORDER | WS_VSCROLL | LBS_NOTIFY | LBS_EXTENDEDSEL |
                        LBS_NOINTEGRALHEIGHT;
constexpr DWORD kButton = WS_TABSTOP;

const DialogControl kBackupControls[] = {
    {IDC_STATIC, DialogControlKind::StaticText, u"Select Region(s)", 3, 3, 53, 8, WS_VISIBLE},
    {IDC_BACKUP_LIST, DialogControlKind::ListBox, nullptr, 3, 13, 75, 50, kList},
    {IDC_STATIC, DialogControlKind::StaticText, u"Start:", 3, 66, 20, 8, WS_VISIBLE},
    {IDC_BACKUP_START, DialogControlKind::StaticText, u"0x00000000", 40, 66, 88, 8, WS_VISIBLE},
    {IDC_STATIC, DialogControlKind::StaticText, u"Length:", 3, 76, 33, 8, WS_VISIBLE},
    {IDC_BACKUP_LENGTH, DialogControlKind::StaticText, u"0x00000000", 40, 76, 88, 8, WS_VISIBLE},
    {IDC_STATIC, DialogControlKind::StaticText, u"UsedBytes:", 3, 86, 37, 8, WS_VISIBLE},
    {IDC_BACKUP_USED, DialogControlKind::StaticText, u"0x00000000", 40, 86, 88, 8, WS_VISIBLE},
    {IDC_BACKUP_SAVE, DialogControlKind::DefPushButton, u"Backup", 85, 13, 38, 13, kButton | WS_VISIBLE | WS_DISABLED},
    {IDC_BACKUP_ALL, DialogControlKind::PushButton, u"BackupAll", 85, 30, 38, 13, kButton},
    {IDC_BACKUP_ERASE, DialogControlKind::PushButton, u"Erase", 85, 47, 38, 13, kButton | WS_DISABLED},
};

constexpr size_t kLabelCapacity = 48;
constexpr size_t kSizeCapacity = 24;
constexpr uint32_t kKilo = 1024;
constexpr uint32_t kMega = kKilo * kKilo;
// BackupAll selects entries 0 to 16, more than any list holds.
constexpr WORD kLastListEntry = 16;

void FillRegionList(HWND dialog) {
  FWLScanRegions(REGION_ALL);
  RegionSummary summary = {REGION_ALL, 0, 0, 0};
  FlashRegion list[REGION_TABLE_ENTRIES] = {};
  if (FWLGetRegionInfo(&summary, list) != 0) return;
  size_t slot = 0;
  for (size_t i = 0; i < REGION_COUNT && list[i].id != 0 && slot < kBackupListSlots; i++) {
    // Only a two-stage module has a second bootloader to offer.
    bool secondStage = (list[i].id & REGION_SECOND_BOOTLOADER) != 0;
    if (secondStage && (summary.flags & REGION_FIRST_BOOTLOADER) == 0) continue;
    g_shell.regionListFlags[slot++] = list[i].id;
    SendDlgItemMessageW(dialog, IDC_BACKUP_LIST, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(FWLGetRegionName(list[i].id)));
  }
}

void ShowValue(HWND dialog, int id, uint32_t value) {
  WCHAR size[kSizeCapacity];
  FormatSize(value, size, kSizeCapacity);
  WCHAR label[kLabelCapacity];
  StringCchPrintfW(label, kLabelCapacity, u"0x%x (%s)", value, size);
  SetDlgItemTextW(dialog, id, label);
}

// The right button held, or Shift with Ctrl, under a left press.
bool IsRevealGesture(WPARAM keys) {
  constexpr WPARAM kShiftCtrl = MK_SHIFT | MK_CONTROL;
  return (keys & MK_RBUTTON) != 0 || (keys & kShiftCtrl) == kShiftCtrl;
}

void RevealHiddenButtons(HWND dialog) {
  ShowWindow(GetDlgItem(dialog, IDC_BACKUP_ALL), SW_SHOW);
  ShowWindow(GetDlgItem(dialog, IDC_BACKUP_ERASE), SW_SHOW);
}

void StartFlow(HWND dialog, FlowFn flow) {
  if (!StartFlowThread(dialog, flow, &g_shell.backupFlowThread)) ShowError(dialog, u"Could not start the operation.");
}

INT_PTR OnCommand(HWND dialog, int id) {
  switch (id) {
    case IDCANCEL:
      WaitForFlowThread(&g_shell.backupFlowThread);
      EndDialog(dialog, 0);
      return TRUE;
    case IDC_BACKUP_LIST:
      UpdateSelection(dialog);
      return TRUE;
    case IDC_BACKUP_ERASE:
      StartFlow(dialog, RunRegionErase);
      return TRUE;
    case IDC_BACKUP_SAVE:
      StartFlow(dialog, RunRegionBackup);
      return TRUE;
    case IDC_BACKUP_ALL:
      SendDlgItemMessageW(dialog, IDC_BACKUP_LIST, LB_SELITEMRANGE, TRUE, MAKELPARAM(0, kLastListEntry));
      UpdateSelection(dialog);
      StartFlow(dialog, RunRegionBackup);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

const DialogTemplate kBackupDialogTemplate = {
    IDD_BACKUP,      u"BackUp", 128, 103, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, u"System", 8,
    kBackupControls, sizeof kBackupControls / sizeof kBackupControls[0]};

INT_PTR BackupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      FillRegionList(dialog);
      return TRUE;
    case WM_LBUTTONDOWN:
      // Nothing hides them again while the dialog is open.
      if (IsRevealGesture(wParam)) RevealHiddenButtons(dialog);
      return TRUE;
    case WM_COMMAND:
      return OnCommand(dialog, LOWORD(wParam));
    default:
      return FALSE;
  }
}

int UpdateSelection(HWND dialog) {
  RegionSummary& selection = g_shell.backupSelection;
  selection.flags = 0;
  int32_t indices[kBackupListSlots] = {};
  LRESULT count = SendDlgItemMessageW(dialog, IDC_BACKUP_LIST, LB_GETSELITEMS, kBackupListSlots,
                                      reinterpret_cast<LPARAM>(indices));
  g_shell.selectedCount = count > 0 ? static_cast<int32_t>(count) : 0;
  BOOL any = g_shell.selectedCount != 0 ? TRUE : FALSE;
  EnableWindow(GetDlgItem(dialog, IDC_BACKUP_ERASE), any);
  EnableWindow(GetDlgItem(dialog, IDC_BACKUP_SAVE), any);
  if (any) {
    for (int32_t i = 0; i < g_shell.selectedCount; i++) {
      if (indices[i] >= 0 && static_cast<size_t>(indices[i]) < kBackupListSlots) {
        selection.flags |= g_shell.regionListFlags[indices[i]];
      }
    }
    FWLGetRegionInfo(&selection, nullptr);
  }
  // With nothing selected the labels keep what the last selection spanned.
  ShowValue(dialog, IDC_BACKUP_START, selection.start);
  ShowValue(dialog, IDC_BACKUP_LENGTH, selection.length);
  ShowValue(dialog, IDC_BACKUP_USED, selection.used);
  return 1;
}

void FormatSize(uint32_t value, WCHAR* text, size_t capacity) {
  if (value < kKilo) {
    StringCchPrintfW(text, capacity, u"%d B", static_cast<int>(value));
  } else if (value < kMega) {
    StringCchPrintfW(text, capacity, u"%.2f KB", static_cast<double>(value) / kKilo);
  } else {
    // Whole KiB first: the fraction shown is that of the KiB count.
    StringCchPrintfW(text, capacity, u"%.2f MB", static_cast<double>(value / kKilo) / kKilo);
  }
}
