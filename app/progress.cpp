#include "app/progress.h"

#include <algorithm>
#include <atomic>

#include "app/shell_state.h"
#include "fwlib/callbacks.h"
#include "platform/clock.h"
#include "platform/stop_request.h"
#include "platform/format.h"
#include "platform/handles.h"
#include "platform/threads.h"

namespace {

constexpr DWORD kStyleText = WS_VISIBLE;
constexpr DWORD kStyleBar = WS_VISIBLE | WS_BORDER;

// The Abort button stays hidden: the library offers no safe point to stop at.
const DialogControl kProgressControls[] = {
    {IDC_PROGRESS_STEP_TEXT, DialogControlKind::StaticText, u"", 4, 4, 126, 17, kStyleText},
    {IDC_PROGRESS_STEP_BAR, DialogControlKind::ProgressBar, nullptr, 4, 23, 126, 13, kStyleBar},
    {IDC_PROGRESS_TOTAL_TEXT, DialogControlKind::StaticText, u"", 4, 43, 126, 17, kStyleText},
    {IDC_PROGRESS_TOTAL_BAR, DialogControlKind::ProgressBar, nullptr, 4, 62, 126, 13, kStyleBar},
    {IDCANCEL, DialogControlKind::PushButton, u"Abort", 38, 80, 58, 11, 0},
};

// Bars count KiB so that any 32-bit byte count fits their range.
constexpr uint32_t kBarUnitBytes = 1024;
constexpr uint32_t kMinBarRange = 1;
// The validation text changes at sixteenths of the file only.
constexpr uint32_t kValidateTextSteps = 16;
constexpr uint32_t kPercent = 100;
// From here on position * 100 no longer fits 32 bits; both sides are scaled
// down first.
constexpr uint32_t kPercentOverflowLimit = 42949673;
constexpr uint32_t kPercentScaleDown = 128;
constexpr DWORD kDoneTextMs = 150;
constexpr int32_t kBusyBarMax = 2;
constexpr DWORD kBusyStepMs = 500;
constexpr DWORD kOpenPollMs = 1;
// A dialog told to end is gone long before this; the wait only guards
// against a window system that lost it.
constexpr DWORD kCloseWaitMs = 5000;
constexpr size_t kLineCapacity = 96;
constexpr uint32_t kCpldOnlyFlags = REGION_CPLD_FIRMWARE;

struct ProgressState {
  // Written by the window's thread once, polled by the opener.
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> openFailed{false};
  HANDLE windowThread = nullptr;
  RegionSummary currentImage = {};
  uint32_t baseAddress = 0;
  // The starts of the regions an erase takes one after the other.
  uint32_t eraseBases[REGION_COUNT] = {};
  size_t eraseBaseCount = 0;
  size_t eraseBaseNext = 0;
  // Nonzero while an animation runs: the number of that animation, so that an
  // older one still asleep does not take over when a new one starts.
  std::atomic<uint32_t> busy{0};
  uint32_t busyGeneration = 0;
  HANDLE busyThread = nullptr;
  uint32_t validateNextStep = 0;
  // A callback of the flash work answered "go on" since ProgressWorkBegin.
  bool wentOn = false;
};

ProgressState g_progress;

// The answer of the callbacks that can stop flash work: a confirmed stop is
// taken at the next piece, erase block or section, never inside one.
int GoOn() {
  if (StopRequested()) return 0;
  g_progress.wentOn = true;
  return 1;
}

uint32_t BarUnits(uint32_t bytes) { return bytes / kBarUnitBytes; }

void SetLine(int id, const WCHAR* text) { SetDlgItemTextW(g_progress.window.load(), id, text); }

void SetBarRange(int id, uint32_t bytes) {
  uint32_t units = BarUnits(bytes);
  if (units < kMinBarRange) units = kMinBarRange;
  SendDlgItemMessageW(g_progress.window.load(), id, PBM_SETRANGE32, 0, static_cast<LPARAM>(units));
}

void SetBarPos(int id, uint32_t bytes) {
  SendDlgItemMessageW(g_progress.window.load(), id, PBM_SETPOS, BarUnits(bytes), 0);
}

void SetBusyBar(WPARAM position) {
  SendDlgItemMessageW(g_progress.window.load(), IDC_PROGRESS_STEP_BAR, PBM_SETPOS, position, 0);
}

DWORD BusyAnimation(LPVOID param) {
  uint32_t generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
  SendDlgItemMessageW(g_progress.window.load(), IDC_PROGRESS_STEP_BAR, PBM_SETRANGE32, 0, kBusyBarMax);
  WPARAM position = 0;
  while (g_progress.busy.load() == generation) {
    SetBusyBar(position);
    Sleep(kBusyStepMs);
    position = position == kBusyBarMax ? 0 : position + 1;
  }
  SetBusyBar(kBusyBarMax);
  return 0;
}

void StartBusy() {
  uint32_t generation = ++g_progress.busyGeneration;
  if (generation == 0) generation = ++g_progress.busyGeneration;  // 0 means idle
  g_progress.busy = generation;
  HANDLE thread = CreateThread(nullptr, 0, BusyAnimation, reinterpret_cast<LPVOID>(uintptr_t{generation}), 0, nullptr);
  if (thread == nullptr) return;  // the operation goes on without animation
  if (g_progress.busyThread != nullptr) CloseHandle(g_progress.busyThread);
  g_progress.busyThread = thread;
}

// The percentage in 32 bits for files of any 32-bit size.
uint32_t ValidatePercent(uint32_t position, uint32_t size) {
  if (position < kPercentOverflowLimit) return position * kPercent / size;
  return position / kPercentScaleDown * kPercent / (size / kPercentScaleDown);
}

void ShowValidatePercent(uint32_t percent) {
  WCHAR text[kLineCapacity];
  StringCchPrintfW(text, kLineCapacity, u"Validating File %d%%", static_cast<int>(percent));
  SetLine(IDC_PROGRESS_STEP_TEXT, text);
}

bool CpldOnly() { return g_progress.currentImage.flags == kCpldOnlyFlags; }

void ShowEraseText(uint32_t done, uint32_t total) {
  WCHAR text[kLineCapacity];
  const WCHAR* format = done < total ? u"Erasing Flash (at %.8x)" : u"Erasing Flash (at %.8x) done";
  StringCchPrintfW(text, kLineCapacity, format, g_progress.baseAddress + done);
  SetLine(IDC_PROGRESS_STEP_TEXT, text);
}

void ShowPhase(uint32_t phase) {
  switch (phase) {
    case ERASE_PHASE_PREPARE_DRIVER:
      SetLine(IDC_PROGRESS_STEP_TEXT, u"Preparing filesystem driver. Please wait...");
      StartBusy();
      break;
    case ERASE_PHASE_FORMATTING:
      SetLine(IDC_PROGRESS_STEP_TEXT, u"Formatting store. Please wait...");
      break;
    case ERASE_PHASE_FORMAT_DONE:
      g_progress.busy = 0;
      SetLine(IDC_PROGRESS_STEP_TEXT, u"Formatting store. Please wait...done.");
      Sleep(kDoneTextMs);
      break;
    default:
      break;
  }
}

DWORD ProgressWindowThread(LPVOID owner) {
  DialogBoxParamW(g_shell.instance, MAKEINTRESOURCE(IDD_PROGRESS), static_cast<HWND>(owner), ProgressDialogProc, 0);
  // Ending before the initialisation means the window never existed.
  if (g_progress.window.load() == nullptr) g_progress.openFailed = true;
  return 0;
}

}  // namespace

const DialogTemplate kProgressDialogTemplate = {IDD_PROGRESS,
                                                u"Progress",
                                                134,
                                                98,
                                                WS_POPUP | WS_CAPTION | DS_MODALFRAME,
                                                u"System",
                                                8,
                                                kProgressControls,
                                                sizeof kProgressControls / sizeof kProgressControls[0]};

INT_PTR ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  (void)lParam;
  switch (message) {
    case WM_INITDIALOG:
      g_progress.window = dialog;
      return FALSE;
    case WM_COMMAND:
      // Neither Abort nor Escape may end the window while the library works.
      return TRUE;
    default:
      return FALSE;
  }
}

int OpenProgress(HWND owner, const WCHAR* title) {
  CloseProgress();
  g_progress.openFailed = false;
  g_progress.windowThread = CreateThread(nullptr, 0, ProgressWindowThread, owner, 0, nullptr);
  if (g_progress.windowThread == nullptr) return 0;
  while (g_progress.window.load() == nullptr) {
    if (g_progress.openFailed.load()) {
      CloseProgress();
      return 0;
    }
    Sleep(kOpenPollMs);
  }
  SetWindowTextW(g_progress.window.load(), title);
  return 1;
}

int CloseProgress() {
  HWND window = g_progress.window.exchange(nullptr);
  if (window != nullptr) EndDialog(window, 0);
  if (g_progress.windowThread != nullptr) {
    ThreadWaitForEnd(g_progress.windowThread, kCloseWaitMs);
    CloseHandle(g_progress.windowThread);
    g_progress.windowThread = nullptr;
  }
  return 1;
}

int OnValidateProgress(uint32_t position, uint32_t fileSize) {
  uint32_t step = fileSize / kValidateTextSteps;
  if (position == 0) {
    SetBarRange(IDC_PROGRESS_STEP_BAR, fileSize);
    ShowValidatePercent(0);
    g_progress.validateNextStep = step;
    SetBarPos(IDC_PROGRESS_STEP_BAR, 0);
  } else if (position < fileSize) {
    if (position > g_progress.validateNextStep) {
      ShowValidatePercent(ValidatePercent(position, fileSize));
      g_progress.validateNextStep += step;
      SetBarPos(IDC_PROGRESS_STEP_BAR, position);
    }
  } else if (position == fileSize) {
    ShowValidatePercent(kPercent);
    g_progress.validateNextStep = 0;
    SetBarPos(IDC_PROGRESS_STEP_BAR, position);
  }
  return 1;
}

int OnEraseProgress(uint32_t first, uint32_t second) {
  if (!GoOn()) return 0;
  if (second == 0) {
    ShowPhase(first);
    return 1;
  }
  if (first == 0) {
    SetBarRange(IDC_PROGRESS_STEP_BAR, second);
    // Each region's erase counts from 0 again. No line names offset 0 before
    // the real one: in a log it would read as if the bootloader were erased.
    if (g_progress.eraseBaseNext < g_progress.eraseBaseCount) {
      g_progress.baseAddress = g_progress.eraseBases[g_progress.eraseBaseNext++];
    }
  }
  ShowEraseText(first, second);
  SetBarPos(IDC_PROGRESS_STEP_BAR, first);
  return 1;
}

int OnImageSummary(RegionSummary* summary) {
  if (summary == nullptr) return 1;
  g_progress.currentImage = *summary;
  if (CpldOnly()) return 1;
  WCHAR text[kLineCapacity];
  StringCchPrintfW(text, kLineCapacity, u"Image Start: %.8x\nImage Len: %.8x (%d)", summary->start, summary->length,
                   static_cast<int>(summary->length));
  SetLine(IDC_PROGRESS_TOTAL_TEXT, text);
  SetBarRange(IDC_PROGRESS_TOTAL_BAR, summary->length);
  SetBarPos(IDC_PROGRESS_TOTAL_BAR, 0);
  return 1;
}

int OnSectionStart(uint32_t address, uint32_t length, uint32_t checksum) {
  if (!GoOn()) return 0;
  (void)checksum;
  if (CpldOnly()) {
    SetLine(IDC_PROGRESS_STEP_TEXT, u"Updating CPLD. Please wait...");
    StartBusy();
    SetLine(IDC_PROGRESS_TOTAL_TEXT, u"");
    return 1;
  }
  WCHAR text[kLineCapacity];
  StringCchPrintfW(text, kLineCapacity, u"Section Start: %.8x\nSection Len: %.8x (%d)", address, length,
                   static_cast<int>(length));
  SetLine(IDC_PROGRESS_STEP_TEXT, text);
  SetBarRange(IDC_PROGRESS_STEP_BAR, length);
  SetBarPos(IDC_PROGRESS_STEP_BAR, 0);
  return 1;
}

int OnBytesProgress(uint32_t sectionBytes, uint32_t totalBytes) {
  if (!GoOn()) return 0;
  if (CpldOnly() && totalBytes != 0) {
    // The programmer may report many pieces; only the first ends the animation
    // and holds the done text, so the CPLD is not slowed by each report.
    if (g_progress.busy.exchange(0) != 0) {
      SetLine(IDC_PROGRESS_STEP_TEXT, u"Updating CPLD. Please wait...done.");
      Sleep(kDoneTextMs);
    }
    return 1;
  }
  SetBarPos(IDC_PROGRESS_STEP_BAR, sectionBytes);
  SetBarPos(IDC_PROGRESS_TOTAL_BAR, totalBytes);
  return 1;
}

void ProgressComplete() {
  HWND window = g_progress.window.load();
  for (int bar : {IDC_PROGRESS_STEP_BAR, IDC_PROGRESS_TOTAL_BAR}) {
    if (bar == IDC_PROGRESS_TOTAL_BAR && CpldOnly()) continue;
    LRESULT end = SendDlgItemMessageW(window, bar, PBM_GETRANGE, FALSE, 0);
    SendDlgItemMessageW(window, bar, PBM_SETPOS, static_cast<WPARAM>(end), 0);
  }
}

void ProgressWorkBegin() { g_progress.wentOn = false; }

bool ProgressWorkWentOn() { return g_progress.wentOn; }

void ProgressSetBaseAddress(uint32_t address) {
  g_progress.baseAddress = address;
  g_progress.eraseBaseCount = 0;
  g_progress.eraseBaseNext = 0;
}

void ProgressSetEraseBases(const uint32_t* bases, size_t count) {
  ProgressSetBaseAddress(count != 0 ? bases[0] : 0);
  g_progress.eraseBaseCount = std::min(count, REGION_COUNT);
  for (size_t i = 0; i < g_progress.eraseBaseCount; i++) g_progress.eraseBases[i] = bases[i];
}

void ProgressStopBusy() { g_progress.busy = 0; }

RegionSummary ProgressCurrentImage() { return g_progress.currentImage; }

HWND ProgressWindow() { return g_progress.window.load(); }

void ProgressResetForTests() {
  CloseProgress();
  g_progress.busy = 0;
  if (g_progress.busyThread != nullptr) {
    ThreadWaitForEnd(g_progress.busyThread, kCloseWaitMs);
    CloseHandle(g_progress.busyThread);
    g_progress.busyThread = nullptr;
  }
  g_progress.currentImage = {};
  ProgressSetBaseAddress(0);
  g_progress.busyGeneration = 0;
  g_progress.validateNextStep = 0;
  g_progress.openFailed = false;
}
