// Backups and erases started from the backup dialog: the refusals, the file
// dialog, the questions and what ends up in the file or the flash.
#include <QLineEdit>
#include <QListWidget>
#include <algorithm>
#include <filesystem>

#include "app/backup_dialog.h"
#include "app/progress.h"
#include "fwlib/bin_file.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"
#include "module/bin_image_builder.h"
#include "platform/ui/window_model.h"
#include "tests/qtshell/shell_windows.h"
#include "tests/support/file_size_limit.h"

namespace {

enum Row { kBootloaderRow, kConfigBlockRow, kOsImageRow, kRegistryRow, kFileSystemRow, kRowCount };

// The default board's config block, and the erase block the fault sits in.
constexpr uint32_t kConfigBlockBase = 0x40000;
constexpr uint32_t kConfigBlockLength = 0x40000;
// Far below any region's backup, so the write fails early.
constexpr rlim_t kSmallFileLimit = 0x3000;
constexpr uint32_t kEveryRegion = REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE | REGION_REGISTRY |
                                  REGION_FILE_SYSTEM;

std::string Text(const std::vector<uint8_t>& bytes, size_t count) {
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size())));
}

class BackupFlows : public QtShell {
 protected:
  // The flow has ended once its file exists, its progress window has gone
  // and the dialog takes input again.
  bool WaitForBackupEnd(HWND backup, const std::string& file) {
    return Pump([&] {
      return std::filesystem::exists(StorePath(file)) && UiFindDialog(IDD_PROGRESS) == nullptr && TakesInput(backup);
    });
  }
  // The regions an update from the file would write, once the library has
  // checked every byte of it; 0 when it refuses the file.
  static uint32_t RegionsRestoredBy(const char16_t* path) {
    RegionSummary summary = {};
    uint32_t result = FWLSetBinFile(path, &summary, nullptr, 1);
    FWLCloseFile();
    EXPECT_EQ(result, FWL_OK);
    uint32_t covered = REGION_ALL;
    if (result != FWL_OK || FWLGetRegionsInArea(&covered, summary.start, summary.length) != FWL_OK) return 0;
    return covered & REGION_ID_BITS;
  }
};

TEST_F(BackupFlows, RefusesAGapSavesOneRegionAndAsksBeforeOverwriting) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);

  // Bootloader and OS image leave the config block out between them.
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kBootloaderRow, kOsImageRow}));
  ASSERT_TRUE(Click(backup, IDC_BACKUP_SAVE));
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "ERROR");
  EXPECT_EQ(box->text(), "Sections have to be contiguous!");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  ASSERT_TRUE(Answer(box, IDOK));

  // One region proposes its own name. The next flow starts only once the
  // refused one has ended, so the only file dialog is this one.
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kRegistryRow}));
  ASSERT_TRUE(Click(backup, IDC_BACKUP_SAVE));
  QWidget* chooser = WaitForFileDialog();
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(FileDialogsShown(), 1);
  EXPECT_EQ(chooser->windowTitle(), "Save Region As");
  EXPECT_EQ(chooser->findChild<QLineEdit*>("fileName")->text(), "Registry");
  EXPECT_EQ(chooser->findChild<QLineEdit*>("folder")->text(), "\\");
  ASSERT_TRUE(AcceptFile(chooser));
  ASSERT_TRUE(WaitForBackupEnd(backup, "Registry.bin"));
  EXPECT_EQ(DialogsShown(IDD_PROGRESS), 1);
  EXPECT_EQ(Messages(), std::vector<std::string>{"ERROR: Sections have to be contiguous!"}) << "success says nothing";

  // Another region into the same file: No keeps the file as it is.
  std::vector<uint8_t> saved = StoreFile("Registry.bin");
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kConfigBlockRow}));
  ASSERT_TRUE(Click(backup, IDC_BACKUP_SAVE));
  chooser = WaitForFileDialog();
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(chooser->findChild<QLineEdit*>("fileName")->text(), "Config Block");
  // By keyboard alone: the typed name replaces the proposed one, Enter
  // accepts it, and the question that follows takes Tab and Space.
  ASSERT_TRUE(HasKeyboard(chooser));
  TypeText("Registry");
  PressKey(Qt::Key_Return);
  box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "File Exists");
  EXPECT_EQ(box->text(), "Do you want to overwrite the file?");
  ASSERT_TRUE(HasKeyboard(box));
  PressKey(Qt::Key_Tab);
  PressKey(Qt::Key_Space);
  ASSERT_TRUE(Pump([] { return ShownWindow("messageBox") == nullptr; }));
  EXPECT_TRUE(HasKeyboard(DialogWindow(backup))) << "the dialog has the keyboard again after the flow";
  // Closing the dialog waits for its flow.
  EXPECT_EQ(StopProgram(), 1);
  EXPECT_EQ(DialogsShown(IDD_PROGRESS), 1) << "no progress window after No";
  EXPECT_EQ(StoreFile("Registry.bin"), saved);

  ASSERT_GT(saved.size(), kBinSignatureBytes);
  EXPECT_EQ(Text(saved, kBinSignatureBytes), kBinSignature);
  EXPECT_EQ(RegionsRestoredBy(u"\\Registry.bin"), REGION_REGISTRY);
}

TEST_F(BackupFlows, FailedBackupLeavesNoFileAndNamesIt) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kRegistryRow}));
  ASSERT_TRUE(Click(backup, IDC_BACKUP_SAVE));
  QWidget* chooser = WaitForFileDialog();
  ASSERT_NE(chooser, nullptr);
  {
    // A card that is full after a few kilobytes.
    FileSizeLimit limit(kSmallFileLimit);
    ASSERT_TRUE(limit.active);
    ASSERT_TRUE(AcceptFile(chooser, "\\Temp\\Big"));
    QMessageBox* box = WaitForMessageBox();
    limit.Restore();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->windowTitle(), "ERROR");
    EXPECT_EQ(box->text(), "Cannot write file\n\\Temp\\Big.bin\nMaybe disk is full?");
    // The file is gone before the message shows.
    EXPECT_FALSE(std::filesystem::exists(StorePath("Temp/Big.bin")));
    ASSERT_TRUE(Answer(box, IDOK));
  }
  EXPECT_EQ(StopProgram(), 1);
  EXPECT_FALSE(std::filesystem::exists(StorePath("Temp/Big.bin")));
}

TEST_F(BackupFlows, BackupAllSelectsEveryRegionAndSavesTheModule) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  PressBackground(backup, Qt::RightButton, Qt::NoModifier);
  ASSERT_TRUE(Click(backup, IDC_BACKUP_ALL));
  QWidget* chooser = WaitForFileDialog();
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(chooser->findChild<QLineEdit*>("fileName")->text(), "FlashBackup");
  auto* list = Control<QListWidget>(backup, IDC_BACKUP_LIST);
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(Pump([&] { return list->selectedItems().size() == kRowCount; }));
  EXPECT_EQ(LabelText(backup, IDC_BACKUP_START), "0x0 (0 B)");
  EXPECT_EQ(LabelText(backup, IDC_BACKUP_LENGTH), "0x2000000 (32.00 MB)");
  ASSERT_TRUE(AcceptFile(chooser, "\\Temp\\All"));
  ASSERT_TRUE(WaitForBackupEnd(backup, "Temp/All.bin"));
  EXPECT_EQ(StopProgram(), 1);
  EXPECT_EQ(Messages(), std::vector<std::string>{});

  std::vector<uint8_t> file = StoreFile("Temp/All.bin");
  EXPECT_EQ(Text(file, kBinSignatureBytes), kBinSignature);
  EXPECT_EQ(RegionsRestoredBy(u"\\Temp\\All.bin"), kEveryRegion);
}

// Outside [base, base + length) the flash is as it was.
void ExpectOnlyRangeChanged(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after, uint32_t base,
                            uint32_t length) {
  ASSERT_EQ(before.size(), after.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + base, after.begin()));
  EXPECT_TRUE(std::equal(before.begin() + base + length, before.end(), after.begin() + base + length));
}

TEST_F(BackupFlows, EraseAsksFirstThenClearsExactlyTheRegion) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  std::vector<uint8_t> before = Flash();
  ASSERT_NE(before[kConfigBlockBase], 0xFF) << "the config block holds data to erase";
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  PressBackground(backup, Qt::NoButton, Qt::ShiftModifier | Qt::ControlModifier);
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kConfigBlockRow}));

  ASSERT_TRUE(Click(backup, IDC_BACKUP_ERASE));
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "Flash Erase");
  EXPECT_EQ(box->text(), "Are you sure you want to erase the selected region(s)?\n\n- Config Block");
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  ASSERT_TRUE(Answer(box, IDNO));

  // The second erase starts once the declined one has ended.
  ASSERT_TRUE(Click(backup, IDC_BACKUP_ERASE));
  ASSERT_TRUE(Answer(WaitForMessageBox(), IDYES));
  box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "Success");
  EXPECT_EQ(box->text(), "Region(s) successfully erased");
  ASSERT_TRUE(HasKeyboard(box));
  PressKey(Qt::Key_Return);
  ASSERT_TRUE(Pump([] { return ShownWindow("messageBox") == nullptr; }));
  EXPECT_TRUE(HasKeyboard(DialogWindow(backup)));
  EXPECT_EQ(StopProgram(), 1);
  EXPECT_EQ(DialogsShown(IDD_PROGRESS), 1) << "only the erase that was confirmed";

  std::vector<uint8_t> after = Flash();
  ExpectOnlyRangeChanged(before, after, kConfigBlockBase, kConfigBlockLength);
  EXPECT_TRUE(std::all_of(after.begin() + kConfigBlockBase, after.begin() + kConfigBlockBase + kConfigBlockLength,
                          [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(BackupFlows, EraseFailureIsReported) {
  HWND main = StartProgram({"faults.erase_error_block=0x40000"});
  ASSERT_NE(main, nullptr);
  std::vector<uint8_t> before = Flash();
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  PressBackground(backup, Qt::RightButton, Qt::NoModifier);
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kConfigBlockRow}));
  ASSERT_TRUE(Click(backup, IDC_BACKUP_ERASE));
  ASSERT_TRUE(Answer(WaitForMessageBox(), IDYES));
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "ERROR");
  EXPECT_EQ(box->text(), "Flash erase failed");
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  ASSERT_TRUE(Answer(box, IDOK));
  EXPECT_EQ(StopProgram(), 1);
  ExpectOnlyRangeChanged(before, Flash(), kConfigBlockBase, kConfigBlockLength);
}

}  // namespace
