// The backup dialog as the user meets it: the regions in its list, what the
// labels say about a selection, and the gesture that reveals BackupAll and
// Erase.
#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

#include "app/backup_dialog.h"
#include "platform/ui/dialog_units.h"
#include "tests/qtshell/shell_windows.h"

namespace {

// The labels of the default board's regions (start, length).
constexpr const char* kZeroLabel = "0x00000000";
constexpr const char* kConfigBlockStart = "0x40000 (256.00 KB)";
constexpr const char* kConfigBlockLength = "0x40000 (256.00 KB)";
constexpr const char* kConfigBlockUsed = "0x400 (1.00 KB)";
constexpr const char* kConfigToOsLength = "0x13c0000 (19.75 MB)";
constexpr const char* kOsImageStart = "0x80000 (512.00 KB)";
constexpr const char* kOsImageLength = "0x1380000 (19.50 MB)";
// A two-stage board keeps its second bootloader right after the config block.
constexpr const char* kSecondBootloaderLabel = "0x80000 (512.00 KB)";

enum Row { kBootloaderRow, kConfigBlockRow, kOsImageRow, kRegistryRow, kFileSystemRow };
enum TwoStageRow { kSecondBootloaderRow = 2 };

bool Visible(HWND dialog, int id) {
  QPushButton* button = Control<QPushButton>(dialog, id);
  return button != nullptr && button->isVisible();
}

bool Enabled(HWND dialog, int id) {
  QPushButton* button = Control<QPushButton>(dialog, id);
  return button != nullptr && button->isEnabled();
}

bool LabelsRead(HWND dialog, const char* start, const char* length) {
  return LabelText(dialog, IDC_BACKUP_START) == start && LabelText(dialog, IDC_BACKUP_LENGTH) == length;
}

std::string Labels(HWND dialog) {
  return (LabelText(dialog, IDC_BACKUP_START) + " | " + LabelText(dialog, IDC_BACKUP_LENGTH) + " | " +
          LabelText(dialog, IDC_BACKUP_USED))
      .toStdString();
}

TEST_F(QtShell, BackupDialogListsTheRegionsAndDescribesTheSelection) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  EXPECT_EQ(WindowTitle(backup), "BackUp");
  EXPECT_EQ(ListTexts(backup, IDC_BACKUP_LIST),
            (std::vector<QString>{"Bootloader", "Config Block", "OS Image", "Registry", "File System"}));
  EXPECT_EQ(LabelText(backup, IDC_BACKUP_START), kZeroLabel);
  EXPECT_EQ(LabelText(backup, IDC_BACKUP_USED), kZeroLabel);
  EXPECT_FALSE(Enabled(backup, IDC_BACKUP_SAVE));
  EXPECT_FALSE(Visible(backup, IDC_BACKUP_ALL));
  EXPECT_FALSE(Visible(backup, IDC_BACKUP_ERASE));
  // Each caption ends at least half a character (two dialog units) short of
  // the value beside it.
  for (QLabel* caption : DialogWindow(backup)->findChildren<QLabel*>()) {
    if (!caption->text().endsWith(':')) continue;
    QFontMetrics metrics = caption->fontMetrics();
    DialogBaseUnits base = DialogBaseUnitsOf(metrics.horizontalAdvance(kDialogUnitsAlphabet), metrics.height());
    int valueX = Control<QLabel>(backup, IDC_BACKUP_START)->x();
    int gap = valueX - caption->x() - metrics.horizontalAdvance(caption->text());
    EXPECT_GE(2 * gap, base.x) << caption->text().toStdString();
  }

  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kConfigBlockRow}));
  ASSERT_TRUE(Pump([&] { return LabelsRead(backup, kConfigBlockStart, kConfigBlockLength); })) << Labels(backup);
  EXPECT_EQ(LabelText(backup, IDC_BACKUP_USED), kConfigBlockUsed);
  EXPECT_TRUE(Pump([&] { return Enabled(backup, IDC_BACKUP_SAVE); }));

  // A second region widens the span to the end of the later one.
  ASSERT_TRUE(ClickRow(backup, IDC_BACKUP_LIST, kOsImageRow, Qt::ControlModifier));
  ASSERT_TRUE(Pump([&] { return LabelsRead(backup, kConfigBlockStart, kConfigToOsLength); })) << Labels(backup);

  // A plain press on the background reveals nothing. The selection change
  // after it reaches the dialog later on the same thread, so once the labels
  // show that change the press has been handled.
  PressBackground(backup, Qt::NoButton, Qt::NoModifier);
  ASSERT_TRUE(ClickRow(backup, IDC_BACKUP_LIST, kConfigBlockRow, Qt::ControlModifier));
  ASSERT_TRUE(Pump([&] { return LabelsRead(backup, kOsImageStart, kOsImageLength); })) << Labels(backup);
  EXPECT_FALSE(Visible(backup, IDC_BACKUP_ALL));
  EXPECT_FALSE(Visible(backup, IDC_BACKUP_ERASE));
  std::string lastSelection = Labels(backup);

  // Nothing selected: no button to press, and the labels keep what the last
  // selection spanned. The gesture after it shows once the change is handled.
  ASSERT_TRUE(ClickRow(backup, IDC_BACKUP_LIST, kOsImageRow, Qt::ControlModifier));
  PressBackground(backup, Qt::RightButton, Qt::NoModifier);
  ASSERT_TRUE(Pump([&] { return Visible(backup, IDC_BACKUP_ALL) && Visible(backup, IDC_BACKUP_ERASE); }));
  EXPECT_TRUE(Control<QListWidget>(backup, IDC_BACKUP_LIST)->selectedItems().isEmpty());
  EXPECT_FALSE(Enabled(backup, IDC_BACKUP_SAVE));
  EXPECT_FALSE(Enabled(backup, IDC_BACKUP_ERASE));
  EXPECT_TRUE(Enabled(backup, IDC_BACKUP_ALL));
  EXPECT_EQ(Labels(backup), lastSelection);
  EXPECT_EQ(StopProgram(), 1);
}

TEST_F(QtShell, TwoStageModuleListsBothBootloadersAndTheGestureRevealsTheHiddenButtons) {
  HWND main = StartProgram({"board.two_stage=true"});
  ASSERT_NE(main, nullptr);
  HWND backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  EXPECT_EQ(ListTexts(backup, IDC_BACKUP_LIST),
            (std::vector<QString>{"First Bootloader", "Config Block", "Second Bootloader", "OS Image", "Registry",
                                  "File System"}));
  ASSERT_TRUE(SelectRows(backup, IDC_BACKUP_LIST, {kSecondBootloaderRow}));
  ASSERT_TRUE(Pump([&] { return LabelsRead(backup, kSecondBootloaderLabel, kSecondBootloaderLabel); }))
      << Labels(backup);

  // Shift+Ctrl with the left press reveals the hidden buttons as well.
  PressBackground(backup, Qt::NoButton, Qt::ShiftModifier | Qt::ControlModifier);
  ASSERT_TRUE(Pump([&] { return Visible(backup, IDC_BACKUP_ALL) && Visible(backup, IDC_BACKUP_ERASE); }));
  EXPECT_TRUE(Enabled(backup, IDC_BACKUP_ERASE)) << "a region is selected";
  ASSERT_TRUE(CloseWithEscape(backup));

  // Only for that dialog: the next one starts with them hidden.
  backup = OpenBackupDialog(main);
  ASSERT_NE(backup, nullptr);
  EXPECT_FALSE(Visible(backup, IDC_BACKUP_ALL));
  EXPECT_FALSE(Visible(backup, IDC_BACKUP_ERASE));
  EXPECT_EQ(StopProgram(), 1);
}

}  // namespace
