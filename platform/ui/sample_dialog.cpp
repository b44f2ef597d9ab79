#include "platform/ui/sample_dialog.h"

#include <cstdio>

#include "platform/text.h"

namespace {

constexpr DWORD kButton = WS_VISIBLE | WS_TABSTOP;
constexpr int kListCapacity = 16;
constexpr int32_t kBarMax = 100;
constexpr int32_t kBarStart = 40;
constexpr size_t kStatusCapacity = 64;

constexpr DialogControl kSampleControls[] = {
    {kSampleGroup, DialogControlKind::GroupBox, u"Regions", 3, 2, 96, 70, WS_VISIBLE},
    {IDC_STATIC, DialogControlKind::StaticText, u"Select one or more:", 8, 12, 86, 8, WS_VISIBLE},
    {kSampleList, DialogControlKind::ListBox, nullptr, 8, 22, 86, 44,
     WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_EXTENDEDSEL | LBS_NOINTEGRALHEIGHT},
    {kSampleStatus, DialogControlKind::StaticText, u"Nothing selected", 3, 76, 96, 8, WS_VISIBLE},
    {kSampleProgress, DialogControlKind::ProgressBar, nullptr, 3, 88, 96, 10, WS_VISIBLE | WS_BORDER},
    {IDOK, DialogControlKind::DefPushButton, u"OK", 105, 6, 44, 14, kButton},
    {IDCANCEL, DialogControlKind::PushButton, u"Cancel", 105, 24, 44, 14, kButton},
    {kSampleClear, DialogControlKind::PushButton, u"Clear", 105, 42, 44, 14, kButton | WS_DISABLED},
    {kSampleHide, DialogControlKind::PushButton, u"Hide", 105, 60, 44, 14, kButton},
    {kSampleSecret, DialogControlKind::PushButton, u"Secret", 105, 84, 44, 14, WS_TABSTOP},
};

constexpr const char16_t* kSampleEntries[] = {u"Bootloader", u"Config Block", u"OS Image", u"File System"};

void ShowSelection(HWND dialog) {
  int32_t selected[kListCapacity];
  LRESULT count = SendDlgItemMessageW(dialog, kSampleList, LB_GETSELITEMS, kListCapacity,
                                      reinterpret_cast<LPARAM>(selected));
  std::string text = count > 0 ? "Selected:" : "Nothing selected";
  for (LRESULT i = 0; i < count; i++) text.append(" ").append(std::to_string(selected[i]));
  WCHAR status[kStatusCapacity];
  TextCopyUtf8(status, kStatusCapacity, text);
  SetDlgItemTextW(dialog, kSampleStatus, status);
  EnableWindow(GetDlgItem(dialog, kSampleClear), count > 0);
}

}  // namespace

const DialogTemplate kSampleDialog = {
    kSampleDialogId, u"Sample", 154, 104, WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, u"System", 8,
    kSampleControls, sizeof(kSampleControls) / sizeof(kSampleControls[0]),
};

INT_PTR SampleDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      for (const char16_t* entry : kSampleEntries) {
        SendDlgItemMessageW(dialog, kSampleList, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
      }
      SendDlgItemMessageW(dialog, kSampleProgress, PBM_SETRANGE32, 0, kBarMax);
      SendDlgItemMessageW(dialog, kSampleProgress, PBM_SETPOS, kBarStart, 0);
      return TRUE;
    case WM_LBUTTONDOWN:
      if ((wParam & MK_RBUTTON) || ((wParam & MK_SHIFT) && (wParam & MK_CONTROL))) {
        ShowWindow(GetDlgItem(dialog, kSampleSecret), SW_SHOW);
      }
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
          EndDialog(dialog, 1);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
        case kSampleList:
          ShowSelection(dialog);
          return TRUE;
        case kSampleClear:
          SendDlgItemMessageW(dialog, kSampleList, LB_SETSEL, FALSE, -1);
          ShowSelection(dialog);
          return TRUE;
        case kSampleHide:
          ShowWindow(GetDlgItem(dialog, kSampleHide), SW_HIDE);
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}
