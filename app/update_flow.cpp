#include "app/update_flow.h"

#include "app/image_filter.h"
#include "app/messages.h"
#include "app/progress.h"
#include "app/shell_state.h"
#include "app/system_ops.h"
#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/refusal.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "fwlib/update.h"
#include "platform/stop_request.h"
#include "platform/text.h"
#include "platform/ui/window.h"

namespace {

// A second-bootloader image on a fail-safe module may touch nothing else.
constexpr uint32_t kFailSafeForbidden = REGION_ALL & ~REGION_SECOND_BOOTLOADER;

constexpr size_t kConfirmCapacity = 256;

const ResultMessage kSetBinFileMessages[] = {
    {FWL_ERR_OPEN_FILE, u"Cannot open image file\n%s"},
    {FWL_ERR_FILE_FORMAT, u"Not a valid WinCE binary image file!"},
    {FWL_ERR_FILE_VERSION, u"Incompatible file version!\nPlease try the latest Flashwright."},
    {FWL_ERR_CHECKSUM, u"Bin file with corrupt CRC!\nFile corrupt or incompatible file version."},
};
constexpr const WCHAR* kSetBinFileUnknown = u"FWLSetBinFile: Unknown Error: %d";

const ResultMessage kDoUpdateMessages[] = {
    {FWL_ERR_FILE_FORMAT, u"Unexpected end of file!\nDon't reboot Now! Try updating with another file."},
    {FWL_ERR_FILE_VERSION,
     u"This file was generated with an other Flashwright\nand is not supported with this version of the Flashwright!"},
    {FWL_ERR_FLASH_READ, u"Error reading Flash!"},
    {FWL_ERR_FLASH_WRITE, u"Error writing to Flash!"},
    {FWL_ERR_FLASH_ERASE, u"Error erasing Flash!"},
    {FWL_ERR_CHECKSUM, u"BAD CRC, Image File seems to be corrupt.\nDon't reboot Now! Try updating with another file."},
    {FWL_ERR_VERIFY, u"Error veryfing Flash!"},
    {FWL_ERR_FS_RESTORE, u"Error during Flash filesystem restore!"},
    {FWL_ERR_FS_DRIVER, u"Could not load/unload Flash filesystem driver!"},
    {FWL_ERR_FORMAT, u"Could not format store or partitions!"},
    {FWL_ERR_CPLD_VERSION, u"CPLD not found or CPLD version not supported!"},
    {FWL_ERR_CPLD_PROGRAM, u"Error during CPLD update."},
};

// The regions of the confirmation, in the order the user reads them.
const uint32_t kListedRegions[] = {REGION_BOOTLOADER, REGION_SECOND_BOOTLOADER, REGION_CONFIG_BLOCK,
                                   REGION_OS_IMAGE,   REGION_REGISTRY,          REGION_FILE_SYSTEM,
                                   REGION_CPLD_FIRMWARE};

// The code's own message, then what the library found wrong, when it said.
template <size_t N>
void FormatImageFailure(const ResultMessage (&table)[N], uint32_t result, const WCHAR* unknown, const WCHAR* path,
                        WCHAR* text, size_t capacity) {
  // A code without a message of its own is said by the reason alone.
  bool reason = RefusalText()[0] != 0;
  FormatResultText(table, N, result, reason ? nullptr : unknown, path, text, capacity);
  if (!reason) return;
  if (text[0] != 0) TextAppend(text, capacity, u"\n");
  TextAppend(text, capacity, RefusalText());
}

template <size_t N>
void ShowImageFailure(HWND owner, const ResultMessage (&table)[N], uint32_t result, const WCHAR* unknown,
                      const WCHAR* path) {
  WCHAR text[kFailureTextChars];
  FormatImageFailure(table, result, unknown, path, text, kFailureTextChars);
  if (text[0] != 0) ShowError(owner, text);
}

bool ChooseImageFile() {
  OPENFILENAMEW ofn = {};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = g_shell.mainWindow;
  ofn.lpstrFilter = kImageFilter;
  ofn.nFilterIndex = kImageFilterIndex;
  ofn.lpstrFile = g_shell.currentImagePath;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrInitialDir = g_shell.lastDirectory;
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameW(&ofn)) return false;
  RememberDirectoryOf(g_shell.currentImagePath);
  return true;
}

// One line "- name" per region of `covered`.
void AppendRegionLines(WCHAR* text, size_t capacity, uint32_t covered) {
  for (uint32_t region : kListedRegions) {
    if ((covered & region) == 0) continue;
    // The bootloader's name depends on whether the module boots in two stages.
    uint32_t id = region == REGION_BOOTLOADER ? region | (covered & REGION_FIRST_BOOTLOADER) : region;
    const WCHAR* name = FWLGetRegionName(id);
    if (name == nullptr) continue;
    TextAppend(text, capacity, u"- ");
    TextAppend(text, capacity, name);
    TextAppend(text, capacity, u"\n");
  }
}

bool ConfirmOverwrite(HWND owner, uint32_t covered) {
  WCHAR text[kConfirmCapacity];
  TextCopy(text, kConfirmCapacity, u"This Image will overwrite the following sections:\n");
  AppendRegionLines(text, kConfirmCapacity, covered);
  if ((covered & REGION_ID_BITS) == 0) TextAppend(text, kConfirmCapacity, u"- No Section\n\n");
  TextAppend(text, kConfirmCapacity, u"\n\nAre you sure you want to continue?");
  return MessageBoxW(owner, text, u"WARNING", MSG_WARNING_DEFAULT_NO) == IDYES;
}

void OfferRegistryClearAndReset(HWND owner, uint32_t covered) {
  // A new OS with the old registry may not start cleanly.
  if ((covered & REGION_OS_IMAGE) != 0 && (covered & REGION_REGISTRY) == 0 &&
      MessageBoxW(owner, u"You updated a new OS, do you want to clear the Registry?", u"Clear Registry",
                  MSG_QUESTION_DEFAULT_NO) == IDYES) {
    RequestRegistryClear();
  }
  if (MessageBoxW(owner, u"To finish the update reset the system.\n Reset now?", u"RESET", MSG_QUESTION) == IDYES) {
    ResetSystem(1);
  }
}

// A stop the user asked for (the host's signals) ends the work between two
// pieces: what the image covers is then erased or part written, unless the
// stop came before the work touched anything.
void ShowStopped(HWND owner, uint32_t covered) {
  WCHAR text[kConfirmCapacity];
  if (!ProgressWorkWentOn()) {
    TextCopy(text, kConfirmCapacity, u"Update stopped on request before anything was changed.");
  } else {
    TextCopy(text, kConfirmCapacity, u"Update stopped on request. These sections are left incomplete:\n");
    AppendRegionLines(text, kConfirmCapacity, covered);
    TextAppend(text, kConfirmCapacity, u"Don't reboot Now! Update again with this file.");
  }
  ShowError(owner, text);
}

// Everything between opening the progress window and closing it again;
// true when the image was written.
bool ValidateAndWrite(HWND owner) {
  RegionSummary summary = {};
  uint32_t result = FWLSetBinFile(g_shell.currentImagePath, &summary, OnValidateProgress, 1);
  if (result != FWL_OK) {
    NoteFailure(u"FWLSetBinFile", result);
    ShowImageFailure(owner, kSetBinFileMessages, result, kSetBinFileUnknown, g_shell.currentImagePath);
    return false;
  }
  uint32_t covered = 0;
  const WCHAR* refusal = nullptr;
  if (!ImageCoverage(summary, &covered, &refusal)) {
    if (refusal != nullptr) ShowError(owner, refusal);
    else NoteFailure(u"FWLGetRegionsInArea", FWL_ERR_AREA);
    return false;
  }
  if (g_shell.unattendedMode == 0 && !ConfirmOverwrite(owner, covered)) {
    NoteFailureText(u"the update was declined");
    return false;
  }

  OnImageSummary(&summary);
  ProgressSetBaseAddress(summary.start);
  StopGuardEnter();
  ProgressWorkBegin();
  result = FWLDoUpdate(OnEraseProgress, OnSectionStart, OnBytesProgress);
  StopGuardLeave();
  // No animation may outlive the operation, whatever ended it.
  ProgressStopBusy();
  if (result == FWL_ERR_USER_ABORT) {
    NoteFailure(u"FWLDoUpdate", result);
    ShowStopped(owner, covered | (summary.flags & REGION_FILE_SYSTEM));
    return false;
  }
  if (result != FWL_OK) {
    NoteFailure(u"FWLDoUpdate", result);
    ShowImageFailure(owner, kDoUpdateMessages, result, u"FWLDoUpdate: Unknown Error: %d", nullptr);
    return false;
  }
  ProgressComplete();
  if (g_shell.unattendedMode == 0) OfferRegistryClearAndReset(owner, covered);
  return true;
}

}  // namespace

bool ImageCoverage(const RegionSummary& summary, uint32_t* covered, const WCHAR** refusal) {
  *refusal = nullptr;
  if (summary.flags == 0) {
    *refusal = u"This bin file doesn't contain update data which is valid for this hardware.";
    return false;
  }
  *covered = REGION_ALL;
  FWLScanRegions(REGION_ALL);
  if (FWLGetRegionsInArea(covered, summary.start, summary.length) == FWL_ERR_AREA) return false;
  if ((summary.flags & REGION_FIRST_BOOTLOADER) != 0 && (*covered & kFailSafeForbidden) != 0) {
    *refusal = u"Updating with this bin file is not allowed since the FailSafe feature is enabled!";
    return false;
  }
  // The CPLD has no flash range, so the area query cannot report it.
  *covered |= summary.flags & REGION_CPLD_FIRMWARE;
  return true;
}

void FormatSetBinFileFailure(uint32_t result, const WCHAR* path, WCHAR* text, size_t capacity) {
  FormatImageFailure(kSetBinFileMessages, result, kSetBinFileUnknown, path, text, capacity);
}

void RememberDirectoryOf(const WCHAR* path) {
  size_t length = TextLengthBounded(path, MAX_PATH);
  size_t cut = length;
  while (cut > 0 && path[cut - 1] != u'\\') cut--;
  if (cut == 0 || cut >= MAX_PATH) return;  // no folder to remember
  for (size_t i = 0; i < cut; i++) g_shell.lastDirectory[i] = path[i];
  g_shell.lastDirectory[cut] = 0;
}

int RunImageUpdate(HWND owner) {
  if (g_shell.currentImagePath[0] == 0 && !ChooseImageFile()) return 0;
  OpenProgress(owner, u"Image Update");
  bool written = ValidateAndWrite(owner);
  FWLCloseFile();
  CloseProgress();
  g_shell.currentImagePath[0] = 0;
  return written ? 1 : 0;
}
