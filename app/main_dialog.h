// The main dialog: the eight buttons from which everything starts.
#pragma once

#include "platform/ui/window.h"

constexpr WORD IDD_MAIN = 101;

constexpr int IDC_MAIN_CLEAR = 1000;
constexpr int IDC_MAIN_SAVE = 1001;
constexpr int IDC_MAIN_UPDATE = 1002;
constexpr int IDC_MAIN_COLDBOOT = 1003;
constexpr int IDC_MAIN_VERSION = 1004;
constexpr int IDC_MAIN_WARMBOOT = 1005;
constexpr int IDC_MAIN_BACKUP = 1006;
constexpr int IDC_MAIN_IMAGE_GROUP = 1007;
constexpr int IDC_MAIN_CPLD = 1008;

extern const DialogTemplate kMainDialogTemplate;

// Created with the FWLInit result as its parameter.
INT_PTR MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
