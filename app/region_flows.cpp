#include "app/region_flows.h"

#include "app/image_filter.h"
#include "app/messages.h"
#include "app/progress.h"
#include "app/shell_state.h"
#include "app/update_flow.h"
#include "fwlib/backup.h"
#include "fwlib/erase.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/files.h"
#include "platform/stop_request.h"
#include "platform/text.h"

namespace {

// The erase says nothing for results other than these.
const ResultMessage kEraseMessages[] = {
    {FWL_ERR_NOT_INITIALISED, u"Internal Error"},
    {FWL_ERR_NO_REGION, u"Region(s) not found"},
    {FWL_ERR_FLASH_ERASE, u"Flash erase failed"},
};

const ResultMessage kBackupMessages[] = {
    {FWL_ERR_USER_ABORT, u"User Abort!"},
    {FWL_ERR_OPEN_FILE, u"Cannot open image file\n%s"},
    {FWL_ERR_WRITE_FILE, u"Cannot write file\n%s\nMaybe disk is full?"},
    {FWL_ERR_NO_REGION, u"Selected region not found or no region selected!"},
    {FWL_ERR_REGION_ABSENT, u"One or more of the selected regions are not valid!"},
    {FWL_ERR_FLASH_READ, u"Error reading Flash!"},
    {FWL_ERR_FS_RESTORE, u"Error during file system backup!"},
    {FWL_ERR_FS_DRIVER, u"The Flash filesystem is not loaded.\nReset the module, then try again."},
};
constexpr const WCHAR* kBackupUnknown = u"FWLBackupToFile: Unknown Error: %d";
// The question and a line for each region the table can hold.
constexpr size_t kEraseQuestionChars = 256;


// A file name for the selection: the region's own name when it is one.
void ProposeName(WCHAR* path) {
  TextCopy(path, MAX_PATH, u"FlashBackup");
  if (g_shell.selectedCount != 1) return;
  const WCHAR* name = FWLGetRegionName(g_shell.backupSelection.flags);
  if (name != nullptr) TextCopy(path, MAX_PATH, name);
}

// A backup file holds one span of flash: the selection may not skip a
// region between its first and last.
bool SelectionIsContiguous(HWND owner) {
  if (g_shell.selectedCount <= 1) return true;
  const RegionSummary& selection = g_shell.backupSelection;
  uint32_t mask = selection.flags;
  uint32_t result = FWLGetRegionsInArea(&mask, selection.start, selection.length);
  if (result == FWL_ERR_AREA) ShowError(owner, u"Sections have to be contiguous!");
  return result == FWL_OK;
}

bool ChooseBackupFile(HWND owner, WCHAR* path) {
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = kImageFilter;
  ofn.nFilterIndex = kImageFilterIndex;
  ofn.lpstrFile = path;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrTitle = u"Save Region As";
  ofn.lpstrDefExt = u"bin";
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
  return GetSaveFileNameW(&ofn) != FALSE;
}

bool MayWrite(HWND owner, const WCHAR* path) {
  if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return true;
  return MessageBoxW(owner, u"Do you want to overwrite the file?", u"File Exists", MSG_QUESTION) == IDYES;
}

// The selected regions in table order, the order the erase takes them; 0
// when the table cannot say (the erase then reports why).
size_t SelectedRegions(FlashRegion* list) {
  RegionSummary summary = {g_shell.backupSelection.flags, 0, 0, 0};
  if (FWLGetRegionInfo(&summary, list) != FWL_OK) return 0;
  size_t count = 0;
  while (count < REGION_COUNT && list[count].id != 0) count++;
  return count;
}

// The question names what goes: a selection made long ago, or scrolled out
// of sight, is no basis for erasing.
bool ConfirmErase(HWND owner, const FlashRegion* regions, size_t count) {
  WCHAR text[kEraseQuestionChars];
  TextCopy(text, kEraseQuestionChars, u"Are you sure you want to erase the selected region(s)?");
  if (count != 0) TextAppend(text, kEraseQuestionChars, u"\n");
  for (size_t i = 0; i < count; i++) {
    const WCHAR* name = FWLGetRegionName(regions[i].id);
    if (name == nullptr) continue;
    TextAppend(text, kEraseQuestionChars, u"\n- ");
    TextAppend(text, kEraseQuestionChars, name);
  }
  return MessageBoxW(owner, text, u"Flash Erase", MSG_QUESTION) == IDYES;
}

}  // namespace

void FormatBackupFailure(uint32_t result, const WCHAR* path, WCHAR* text, size_t capacity) {
  FormatResultText(kBackupMessages, sizeof kBackupMessages / sizeof kBackupMessages[0], result, kBackupUnknown, path,
                   text, capacity);
}

int RunRegionErase(HWND owner) {
  if (g_shell.selectedCount == 0) return 0;
  FlashRegion regions[REGION_TABLE_ENTRIES] = {};
  size_t count = SelectedRegions(regions);
  if (!ConfirmErase(owner, regions, count)) return 0;
  OpenProgress(owner, u"Image Erase");
  // The library erases the regions in this same order, each counted from its
  // own start: the lines name flash offsets, as the update's do.
  uint32_t bases[REGION_COUNT] = {};
  for (size_t i = 0; i < count; i++) bases[i] = regions[i].base;
  ProgressSetEraseBases(bases, count);
  StopGuardEnter();
  uint32_t result = FWLEraseRegions(g_shell.backupSelection.flags, OnEraseProgress);
  StopGuardLeave();
  if (result != FWL_OK) NoteFailure(u"FWLEraseRegions", result);
  if (result == FWL_OK) {
    ProgressComplete();
    MessageBoxW(owner, u"Region(s) successfully erased", u"Success", MSG_INFO);
  } else {
    ShowResultError(owner, kEraseMessages, result, nullptr);
  }
  CloseProgress();
  return result == FWL_OK ? 1 : 0;
}

int RunRegionBackup(HWND owner) {
  WCHAR path[MAX_PATH] = {};
  ProposeName(path);
  if (!SelectionIsContiguous(owner) || !ChooseBackupFile(owner, path)) return 0;
  // The next update's file dialog opens where the backup went.
  RememberDirectoryOf(path);
  if (!MayWrite(owner, path)) return 0;

  OpenProgress(owner, u"Image Backup");
  uint32_t result =
      FWLBackupToFile(path, g_shell.backupSelection.flags, OnImageSummary, OnSectionStart, OnBytesProgress);
  // A failed backup never reached the file's name: whatever was there before
  // stays (deleting it would only lose the older backup).
  if (result == FWL_OK) ProgressComplete();
  if (result != FWL_OK) {
    NoteFailure(u"FWLBackupToFile", result);
    ShowResultError(owner, kBackupMessages, result, kBackupUnknown, path);
  }
  CloseProgress();
  return result == FWL_OK ? 1 : 0;
}
