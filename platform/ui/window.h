// The module's window system as the program sees it: modal dialogs built from
// templates, their controls, message boxes, file dialogs.
//
// Any thread may call any of this. A dialog's procedure always runs on the
// thread that called DialogBoxParamW, which runs the dialog's message loop
// until EndDialog; user input reaches the procedure on that thread. Calls on
// a window that has ended fail with ERROR_INVALID_WINDOW_HANDLE.
#pragma once

#include "platform/types.h"

using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

// Last-error codes of the window system.
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
constexpr DWORD ERROR_INVALID_MESSAGE = 1002;

// ---------------------------------------------------------------------------
// Word helpers.

constexpr WORD LOWORD(uintptr_t value) { return static_cast<WORD>(value & 0xFFFF); }
constexpr WORD HIWORD(uintptr_t value) { return static_cast<WORD>((value >> 16) & 0xFFFF); }
constexpr DWORD MAKELONG(WORD low, WORD high) { return static_cast<DWORD>(low) | (static_cast<DWORD>(high) << 16); }
constexpr WPARAM MAKEWPARAM(WORD low, WORD high) { return MAKELONG(low, high); }
constexpr LPARAM MAKELPARAM(WORD low, WORD high) { return static_cast<LPARAM>(MAKELONG(low, high)); }

// A template id passed where a template name is expected.
inline LPCWSTR MAKEINTRESOURCE(WORD id) { return reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(id)); }
inline bool IS_INTRESOURCE(LPCWSTR name) { return (reinterpret_cast<uintptr_t>(name) >> 16) == 0; }

// ---------------------------------------------------------------------------
// Messages.

constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_USER = 0x0400;

// Key and button states of mouse messages (wParam).
constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM MK_RBUTTON = 0x0002;
constexpr WPARAM MK_SHIFT = 0x0004;
constexpr WPARAM MK_CONTROL = 0x0008;

// Command ids.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
// The id of controls nobody addresses (static texts, frames).
constexpr int IDC_STATIC = -1;

// Notifications (HIWORD of WM_COMMAND's wParam).
constexpr WORD BN_CLICKED = 0;
constexpr WORD LBN_SELCHANGE = 1;

// Buttons.
constexpr UINT BM_CLICK = 0x00F5;

// List boxes. Texts travel as LPCWSTR in lParam, index arrays as int32_t*.
constexpr UINT LB_ADDSTRING = 0x0180;
constexpr UINT LB_INSERTSTRING = 0x0181;
constexpr UINT LB_DELETESTRING = 0x0182;
constexpr UINT LB_RESETCONTENT = 0x0184;
constexpr UINT LB_SETSEL = 0x0185;  // wParam TRUE/FALSE, lParam index (-1: all)
constexpr UINT LB_GETSEL = 0x0187;
constexpr UINT LB_GETTEXT = 0x0189;  // lParam: buffer of LB_GETTEXTLEN + 1 units
constexpr UINT LB_GETTEXTLEN = 0x018A;
constexpr UINT LB_GETCOUNT = 0x018B;
constexpr UINT LB_GETSELCOUNT = 0x0190;
constexpr UINT LB_GETSELITEMS = 0x0191;   // wParam capacity, lParam int32_t array
constexpr UINT LB_SELITEMRANGE = 0x019B;  // wParam TRUE/FALSE, lParam MAKELPARAM(first, last)
constexpr LRESULT LB_OKAY = 0;
constexpr LRESULT LB_ERR = -1;

// Progress bars. The 16-bit range packs MAKELPARAM(min, max).
constexpr UINT PBM_SETRANGE = WM_USER + 1;
constexpr UINT PBM_SETPOS = WM_USER + 2;
constexpr UINT PBM_DELTAPOS = WM_USER + 3;
constexpr UINT PBM_SETSTEP = WM_USER + 4;
constexpr UINT PBM_STEPIT = WM_USER + 5;
constexpr UINT PBM_SETRANGE32 = WM_USER + 6;  // wParam min, lParam max
constexpr UINT PBM_GETRANGE = WM_USER + 7;    // wParam TRUE: low limit, else high; lParam PBRANGE* or null
constexpr UINT PBM_GETPOS = WM_USER + 8;

struct PBRANGE {
  int32_t iLow;
  int32_t iHigh;
};

// ---------------------------------------------------------------------------
// Styles of dialogs and controls, with the platform's values.

constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_SYSMENU = 0x00080000;  // the close box
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;

constexpr DWORD DS_SETFONT = 0x40;
constexpr DWORD DS_MODALFRAME = 0x80;
constexpr DWORD DS_CENTER = 0x0800;

constexpr DWORD SS_LEFT = 0x0;
constexpr DWORD SS_CENTER = 0x1;
constexpr DWORD SS_RIGHT = 0x2;

constexpr DWORD LBS_NOTIFY = 0x1;
constexpr DWORD LBS_SORT = 0x2;
constexpr DWORD LBS_MULTIPLESEL = 0x8;
constexpr DWORD LBS_NOINTEGRALHEIGHT = 0x100;
constexpr DWORD LBS_EXTENDEDSEL = 0x800;
constexpr DWORD LBS_DISABLENOSCROLL = 0x1000;

constexpr DWORD PBS_SMOOTH = 0x1;

// ---------------------------------------------------------------------------
// Dialog templates: constant tables, kept alive by the program.

enum class DialogControlKind : uint8_t {
  PushButton,
  DefPushButton,  // answers Enter
  StaticText,
  GroupBox,
  ListBox,
  ProgressBar,
};

// One control. A control is shown only with WS_VISIBLE and starts greyed with
// WS_DISABLED, as in the module's resource scripts. Position and size are in
// dialog units; a null text is the empty text.
struct DialogControl {
  int32_t id;  // IDC_STATIC when nobody addresses it
  DialogControlKind kind;
  LPCWSTR text;
  int16_t x;
  int16_t y;
  int16_t width;
  int16_t height;
  DWORD style;  // WS_VISIBLE, WS_DISABLED, WS_TABSTOP, WS_BORDER, WS_VSCROLL, SS_*, LBS_*, PBS_*
};

// A dialog: WS_POPUP | WS_CAPTION, WS_SYSMENU for a close box, DS_MODALFRAME;
// the font by name and point size (DS_SETFONT is implied).
struct DialogTemplate {
  WORD id;
  LPCWSTR title;
  int16_t width;  // dialog units
  int16_t height;
  DWORD style;
  LPCWSTR fontName;
  WORD fontPointSize;
  const DialogControl* controls;
  size_t controlCount;
};

// The most controls a template may hold.
constexpr size_t kMaxDialogControls = 256;

// Makes `templates` findable by DialogBoxParamW for `instance`, as the
// module's loader finds them in the program's resources. A template with the
// id of one registered before replaces it. FALSE (ERROR_INVALID_PARAMETER)
// when one of them is malformed; nothing is registered then.
BOOL RegisterDialogTemplates(HINSTANCE instance, const DialogTemplate* const* templates, size_t count);

// ---------------------------------------------------------------------------
// Modal dialogs.

// Runs the dialog modally on the calling thread: the procedure receives
// WM_INITDIALOG with `param` (return TRUE to let the system set the focus),
// then WM_COMMAND (LOWORD control id, HIWORD notification, lParam the
// control), WM_LBUTTONDOWN (wParam MK_* states, lParam MAKELPARAM(x, y) in
// pixels of the dialog) for presses on its background, and WM_CLOSE for the
// close box (left unhandled, it becomes WM_COMMAND IDCANCEL; so does Escape).
// `owner` (a dialog or one of its controls, or null) takes no input while the
// dialog is open. Returns what EndDialog was given, or -1 on failure. A null
// procedure gets the default handling only.
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const DialogTemplate* dialogTemplate, HWND owner, DLGPROC proc,
                                LPARAM param);

// As DialogBoxIndirectParamW, with the template registered for `instance`
// under MAKEINTRESOURCE(id); -1 with ERROR_RESOURCE_NAME_NOT_FOUND otherwise.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc, LPARAM param);

// Ends the dialog with `result` once the current message is handled. Any
// thread may call it, the procedure too (also during WM_INITDIALOG).
BOOL EndDialog(HWND dialog, INT_PTR result);

// ---------------------------------------------------------------------------
// Windows and controls.

BOOL IsWindow(HWND window);
HWND GetDlgItem(HWND dialog, int id);  // null with ERROR_CONTROL_ID_NOT_FOUND
int GetDlgCtrlID(HWND control);
HWND GetParent(HWND window);  // a control's dialog, a dialog's owner

// The title of a dialog, the text of a control.
BOOL SetWindowTextW(HWND window, LPCWSTR text);
// Copies at most capacity - 1 units and a terminator; returns the units copied.
int GetWindowTextW(HWND window, LPWSTR buffer, int capacity);
int GetWindowTextLengthW(HWND window);
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int capacity);

// Both return the previous state: EnableWindow nonzero when the window was
// disabled, ShowWindow nonzero when it was visible.
BOOL EnableWindow(HWND window, BOOL enable);
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_SHOWNA = 8;
BOOL ShowWindow(HWND window, int command);

// A control is visible when it and its dialog are shown; enabled when it is
// and its dialog takes input (not while a modal window owned by it is open).
BOOL IsWindowVisible(HWND window);
BOOL IsWindowEnabled(HWND window);

// Messages to controls (text, list box, progress bar, BM_CLICK) work from
// any thread at once. Messages to a dialog (WM_COMMAND, WM_CLOSE, WM_USER
// and above) run its procedure on its own thread; the sender waits for the
// result (and runs messages sent to its own dialogs meanwhile). 0 when
// nothing handles the message, LB_ERR for a bad list box request.
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
// Queues a message for a dialog's procedure and returns at once.
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
// Message boxes.

constexpr UINT MB_OK = 0x0;
constexpr UINT MB_OKCANCEL = 0x1;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
constexpr UINT MB_YESNOCANCEL = 0x3;
constexpr UINT MB_YESNO = 0x4;
constexpr UINT MB_RETRYCANCEL = 0x5;
constexpr UINT MB_TYPEMASK = 0xF;
constexpr UINT MB_ICONHAND = 0x10;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONSTOP = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x20;
constexpr UINT MB_ICONEXCLAMATION = 0x30;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x40;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0xF0;
constexpr UINT MB_DEFBUTTON1 = 0x0;
constexpr UINT MB_DEFBUTTON2 = 0x100;
constexpr UINT MB_DEFBUTTON3 = 0x200;
constexpr UINT MB_DEFMASK = 0xF00;
constexpr UINT MB_APPLMODAL = 0x0;
constexpr UINT MB_SETFOREGROUND = 0x10000;
constexpr UINT MB_TOPMOST = 0x40000;

// Shows `text` under `caption` (null: "Error") with the buttons, icon and
// default button of `type`, modal to `owner`, and waits for the answer
// (IDOK ... IDNO). 0 with ERROR_INVALID_PARAMETER for an unknown type.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// ---------------------------------------------------------------------------
// File dialogs, in the module's path space (backslash paths).

using LPOFNHOOKPROC = UINT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

struct OPENFILENAMEW {
  DWORD lStructSize;  // sizeof(OPENFILENAMEW)
  HWND hwndOwner;
  HINSTANCE hInstance;
  LPCWSTR lpstrFilter;  // pairs of description and "*.a;*.b" patterns, ended by an empty text
  LPWSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;  // 1-based; the chosen filter on return
  LPWSTR lpstrFile;    // in: initial name (may hold a folder); out: the chosen path
  DWORD nMaxFile;      // capacity of lpstrFile in units
  LPWSTR lpstrFileTitle;  // optional: receives the name without folder
  DWORD nMaxFileTitle;
  LPCWSTR lpstrInitialDir;
  LPCWSTR lpstrTitle;  // null: "Open" or "Save As"
  DWORD Flags;
  WORD nFileOffset;     // out: where the name starts in lpstrFile
  WORD nFileExtension;  // out: where the extension starts (at the terminator when none)
  LPCWSTR lpstrDefExt;  // appended (with a dot) to a name typed without extension
  LPARAM lCustData;
  LPOFNHOOKPROC lpfnHook;  // not offered
  LPCWSTR lpTemplateName;  // not offered
};

constexpr DWORD OFN_READONLY = 0x1;  // out: the read-only box was ticked
constexpr DWORD OFN_OVERWRITEPROMPT = 0x2;
constexpr DWORD OFN_HIDEREADONLY = 0x4;
constexpr DWORD OFN_NOCHANGEDIR = 0x8;
constexpr DWORD OFN_NOVALIDATE = 0x100;
constexpr DWORD OFN_EXTENSIONDIFFERENT = 0x400;  // out: the name's extension is not lpstrDefExt
constexpr DWORD OFN_PATHMUSTEXIST = 0x800;
constexpr DWORD OFN_FILEMUSTEXIST = 0x1000;

// Both return TRUE with the path in lpstrFile, or FALSE: cancelled
// (CommDlgExtendedError 0) or failed (its code; FNERR_BUFFERTOOSMALL leaves
// the needed capacity in the first unit of lpstrFile).
BOOL GetOpenFileNameW(OPENFILENAMEW* ofn);
BOOL GetSaveFileNameW(OPENFILENAMEW* ofn);

constexpr DWORD CDERR_STRUCTSIZE = 0x0001;
constexpr DWORD CDERR_INITIALIZATION = 0x0002;
constexpr DWORD FNERR_INVALIDFILENAME = 0x3002;
constexpr DWORD FNERR_BUFFERTOOSMALL = 0x3003;
// The calling thread's reason for the last FALSE of a file dialog.
DWORD CommDlgExtendedError();

// ---------------------------------------------------------------------------
// Common controls.

struct INITCOMMONCONTROLSEX {
  DWORD dwSize;  // sizeof(INITCOMMONCONTROLSEX)
  DWORD dwICC;
};
constexpr DWORD ICC_LISTVIEW_CLASSES = 0x1;
constexpr DWORD ICC_PROGRESS_CLASS = 0x20;

// Every control kind is always available; this checks the record only.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);
