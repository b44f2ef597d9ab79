// A sample dialog with every control kind, for the window system's tests,
// its screenshots and its documentation.
//
// Its procedure fills the list with four entries and sets the bar to 40 of
// 100; a list change shows the selected indices in the status text and
// enables Clear; Clear empties the selection; Hide hides itself; a left
// press with the right button or with Shift and Ctrl held shows the hidden
// Secret button; OK ends with 1, Cancel, Escape and the close box with 0.
#pragma once

#include "platform/ui/window.h"

constexpr WORD kSampleDialogId = 900;
constexpr int kSampleGroup = 9001;
constexpr int kSampleStatus = 9002;
constexpr int kSampleList = 9003;
constexpr int kSampleProgress = 9004;
constexpr int kSampleClear = 9005;
constexpr int kSampleHide = 9006;
constexpr int kSampleSecret = 9007;

extern const DialogTemplate kSampleDialog;
INT_PTR SampleDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
