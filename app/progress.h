// The progress window of the long flows and the progress callbacks the shell
// hands to the library. The callbacks run on the flow's thread and change the
// window through the window system's cross-thread calls. The window offers no
// way to abort a running operation; the erase, section and bytes callbacks
// answer 0 (stop) only once the host confirmed a stop (stop_request.h).
#pragma once

#include "fwlib/regions.h"
#include "platform/ui/window.h"

constexpr WORD IDD_PROGRESS = 102;

constexpr int IDC_PROGRESS_STEP_BAR = 1002;
constexpr int IDC_PROGRESS_TOTAL_BAR = 1003;
constexpr int IDC_PROGRESS_STEP_TEXT = 1004;
constexpr int IDC_PROGRESS_TOTAL_TEXT = 1005;

extern const DialogTemplate kProgressDialogTemplate;

INT_PTR ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Opens the window on a thread of its own, modal to `owner` (null in command
// mode), and gives it `title`. 1 once it is open; 0 when the window system
// could not create it (the callbacks then show nothing).
int OpenProgress(HWND owner, const WCHAR* title);
// Ends the window, if one is open, and waits for its thread. Always 1.
int CloseProgress();

int OnValidateProgress(uint32_t position, uint32_t fileSize);
int OnEraseProgress(uint32_t first, uint32_t second);
int OnImageSummary(RegionSummary* summary);
int OnSectionStart(uint32_t address, uint32_t length, uint32_t checksum);
int OnBytesProgress(uint32_t sectionBytes, uint32_t totalBytes);

// A finished operation has done all of its image, the gaps and the empty
// region tails it had no bytes to report for included: both bars go to
// their ends (the lower one stays as it is for a CPLD-only operation).
void ProgressComplete();

// Starts flash work; afterwards, whether a callback let it go on (a stop
// answered at the first question touched nothing).
void ProgressWorkBegin();
bool ProgressWorkWentOn();

// Erase positions are shown relative to this address.
void ProgressSetBaseAddress(uint32_t address);
// An erase of several regions reports each from 0: every erase that starts
// takes the next of `bases` (at most REGION_COUNT), so its lines name flash
// offsets.
void ProgressSetEraseBases(const uint32_t* bases, size_t count);
// Ends a running busy animation (it stops at its next step, unwaited).
void ProgressStopBusy();
// The summary last given to OnImageSummary.
RegionSummary ProgressCurrentImage();
HWND ProgressWindow();

// Closes the window, waits for animation threads and forgets everything.
void ProgressResetForTests();
