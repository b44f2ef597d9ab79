// The backup dialog: the module's regions in a list, what the selection
// spans, and the buttons that save or erase it. BackupAll and Erase stay
// hidden until the user reveals them with a mouse gesture.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui/window.h"

constexpr WORD IDD_BACKUP = 104;

constexpr int IDC_BACKUP_LIST = 1055;
constexpr int IDC_BACKUP_ERASE = 1059;
constexpr int IDC_BACKUP_START = 1076;
constexpr int IDC_BACKUP_LENGTH = 1077;
constexpr int IDC_BACKUP_SAVE = 1078;
constexpr int IDC_BACKUP_USED = 1079;
constexpr int IDC_BACKUP_ALL = 1080;

extern const DialogTemplate kBackupDialogTemplate;

INT_PTR BackupDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Reads the list's selection into the shell state and shows it. Returns 1.
int UpdateSelection(HWND dialog);

// A byte count as the labels show it: "1000 B", "256.00 KB", "32.00 MB".
void FormatSize(uint32_t value, WCHAR* text, size_t capacity);
