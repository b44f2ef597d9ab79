// fwscreenshot: draws a registered dialog into a PNG (scripts/screenshot).
// The program's dialogs and flows run on a throwaway NOR module in a
// temporary folder, so their own code fills in what the pictures show.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/backup_dialog.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "app/resources.h"
#include "app/shell_state.h"
#include "app/update_flow.h"
#include "app/version_report.h"
#include "fwlib/backup.h"
#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/update.h"
#include "fwlib/init.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui/renderable.h"

namespace {

constexpr const char* kBoard = "nor";
// Where the update scene keeps the backup it then offers as an image.
constexpr const WCHAR* kWholeBackupPath = u"\\Temp\\whole.bin";
// Entries the backup dialog shows selected.
constexpr const WCHAR* kShownSelection[] = {u"OS Image", u"Registry"};
// A left press with the right button held: the gesture that reveals
// BackupAll and Erase.
constexpr WPARAM kRevealGesture = MK_LBUTTON | MK_RBUTTON;
constexpr size_t kEntryCapacity = 64;

struct ScreenshotState {
  std::string tempDir;  // holds the module; removed at the end
  uint32_t initResult = FWL_OK;
};

ScreenshotState g_screenshot;

bool AttachThrowawayModule(std::string* error) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] != 0 ? base : "/tmp") + "/fwscreenshot-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a folder in " + pattern.substr(0, pattern.rfind('/'));
    return false;
  }
  g_screenshot.tempDir = pattern;
  std::string dir = pattern + "/module";
  if (!ModuleCreate(dir, kBoard, false, error) || !PlatformAttachModule(dir, false, error)) return false;
  RegisterShellTemplates(g_shell.instance);
  g_screenshot.initResult = FWLInit();
  return true;
}

void RemoveThrowawayModule() {
  PlatformDetachModule();
  if (g_screenshot.tempDir.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(g_screenshot.tempDir, ignored);
}

// As the program opens it: with the library's start-up result.
INT_PTR MainDialogOnModule(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) lParam = static_cast<LPARAM>(g_screenshot.initResult);
  return MainDialogProc(dialog, message, wParam, lParam);
}

bool IsShownSelection(const WCHAR* entry) {
  for (const WCHAR* name : kShownSelection) {
    if (TextCompare(entry, name) == 0) return true;
  }
  return false;
}

// The backup dialog as a user leaves it: two regions picked in the list, the
// hidden buttons revealed. Both go through the dialog's own messages.
INT_PTR BackupDialogInUse(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = BackupDialogProc(dialog, message, wParam, lParam);
  if (message != WM_INITDIALOG) return result;
  HWND list = GetDlgItem(dialog, IDC_BACKUP_LIST);
  LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; i++) {
    WCHAR entry[kEntryCapacity] = {};
    if (SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0) >= static_cast<LRESULT>(kEntryCapacity)) continue;
    SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
    if (IsShownSelection(entry)) SendMessageW(list, LB_SETSEL, TRUE, static_cast<LPARAM>(i));
  }
  SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_BACKUP_LIST, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
  SendMessageW(dialog, WM_LBUTTONDOWN, kRevealGesture, 0);
  return result;
}

// The progress window of a real update of the module's sample OS image,
// stopped once half of the image is written: the window shows what the
// program's own callbacks made of the run up to there (the update itself is
// over before a picture could be taken). The throwaway module keeps the half.
constexpr const WCHAR* kSampleImage = u"\\USB HD\\IMAGES\\nk.bin";
constexpr uint32_t kStopAtHalves = 2;

int BytesUntilHalfWritten(uint32_t sectionBytes, uint32_t totalBytes) {
  OnBytesProgress(sectionBytes, totalBytes);
  return uint64_t{totalBytes} * kStopAtHalves < ProgressCurrentImage().length ? 1 : 0;
}

INT_PTR ProgressOfARealUpdate(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  INT_PTR result = ProgressDialogProc(dialog, message, wParam, lParam);
  if (message != WM_INITDIALOG) return result;
  // As the update flow does between opening its window and closing it.
  SetWindowTextW(dialog, u"Image Update");
  RegionSummary summary = {};
  if (FWLSetBinFile(kSampleImage, &summary, OnValidateProgress, 1) != FWL_OK) {
    std::fprintf(stderr, "fwscreenshot: the sample image was refused\n");
    return result;
  }
  OnImageSummary(&summary);
  ProgressSetBaseAddress(summary.start);
  FWLDoUpdate(OnEraseProgress, OnSectionStart, BytesUntilHalfWritten);
  ProgressStopBusy();
  FWLCloseFile();
  return result;
}

// An update from a backup of the whole module, up to its confirmation, which
// lists every region the image overwrites; answered No, nothing is written.
void UpdateFromWholeBackup(LPARAM) {
  uint32_t result = FWLBackupToFile(kWholeBackupPath, REGION_ALL, nullptr, nullptr, nullptr);
  if (result != FWL_OK) {
    std::fprintf(stderr, "fwscreenshot: the backup of the module failed (%u)\n", result);
    return;
  }
  TextCopy(g_shell.currentImagePath, MAX_PATH, kWholeBackupPath);
  g_shell.unattendedMode = 0;
  RunImageUpdate(nullptr);
}

// Version Info as the main dialog's button shows it.
void VersionInfo(LPARAM) { ShowVersionReport(nullptr); }

void RegisterProgramRenderables() {
  UiRegisterRenderable({.name = "main",
                        .description = "the main dialog on a NOR module",
                        .dialogTemplate = &kMainDialogTemplate,
                        .proc = MainDialogOnModule});
  UiRegisterRenderable({.name = "backup",
                        .description = "the backup dialog: two regions selected, BackupAll and Erase revealed",
                        .dialogTemplate = &kBackupDialogTemplate,
                        .proc = BackupDialogInUse});
  UiRegisterRenderable({.name = "progress",
                        .description = "the progress window of a real update, stopped half way",
                        .dialogTemplate = &kProgressDialogTemplate,
                        .proc = ProgressOfARealUpdate});
  UiRegisterRenderable({.name = "confirm",
                        .description = "the update's confirmation of the regions an image overwrites",
                        .scene = UpdateFromWholeBackup});
  UiRegisterRenderable({.name = "version",
                        .description = "the version report of Version Info",
                        .scene = VersionInfo});
}

}  // namespace

int main(int argc, char** argv) {
  UiRegisterBuiltinRenderables();
  RegisterProgramRenderables();
  // Only a drawing needs the module; --list and usage errors do not.
  bool drawing = argc == 3;
  std::string error;
  if (drawing && !AttachThrowawayModule(&error)) {
    std::fprintf(stderr, "fwscreenshot: no module to draw on: %s\n", error.c_str());
    RemoveThrowawayModule();
    return 1;
  }
  int code = UiScreenshotMain(argc, argv);
  if (drawing) RemoveThrowawayModule();
  return code;
}
