// The main dialog's Update and Version Info buttons: the file dialog, the
// questions, the progress window that moves while the flash is written, and
// the version report.
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <set>

#include "app/main_dialog.h"
#include "app/progress.h"
#include "module/bin_image_builder.h"
#include "module/board_support.h"
#include "platform/ui/window_model.h"
#include "tests/qtshell/shell_windows.h"

namespace {

// The default board's OS image base, where the sample OS image lands.
constexpr uint32_t kOsBase = 0x80000;
// A saved registry half starts with this word; a cleared one does not.
constexpr uint32_t kRegistryBase = 0x1400000;
constexpr uint32_t kRegistryHalfMagic = 0x01234567;
constexpr int kSampleEveryMs = 2;
// The sample bootloader goes in three records: the lower bar has at least
// its start, one step between and its end to show.
constexpr size_t kLeastBarValues = 3;
// A window manager's caption: a bold title larger than dialog text, and
// room besides it for the icon, buttons and margins, in lines of its font.
constexpr double kCaptionFontScale = 1.25;
constexpr int kCaptionRoomLines = 6;

constexpr const char* kConfirmOs =
    "WARNING: This Image will overwrite the following sections:\n- OS Image\n\n\nAre you sure you want to continue?";
constexpr const char* kConfirmBootloader =
    "WARNING: This Image will overwrite the following sections:\n- Bootloader\n\n\nAre you sure you want to "
    "continue?";
constexpr const char* kAskRegistryClear = "Clear Registry: You updated a new OS, do you want to clear the Registry?";
constexpr const char* kAskReset = "RESET: To finish the update reset the system.\n Reset now?";

uint32_t WordAt(const std::vector<uint8_t>& bytes, uint32_t offset) {
  if (offset + sizeof(uint32_t) > bytes.size()) return 0;
  return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 | uint32_t{bytes[offset + 2]} << 16 |
         uint32_t{bytes[offset + 3]} << 24;
}

// Every record of the image file at its place in the flash; false, with
// the first difference, when one is not.
::testing::AssertionResult FlashHolds(const std::vector<uint8_t>& file, const std::vector<uint8_t>& flash) {
  BinImageSeen seen = BinImageInspect(file);
  uint32_t shift = 0;
  if (!seen.hasBinPart || !seen.endRecord || seen.records.empty() ||
      !BinAddressShiftFor(seen.imageStart, kOsBase, &shift)) {
    return ::testing::AssertionFailure() << "not an image file";
  }
  for (const BinRecordSeen& r : seen.records) {
    // The shift wraps around, as the library applies it.
    uint64_t offset = uint32_t{r.address + shift};
    auto data = file.begin() + static_cast<std::ptrdiff_t>(r.fileOffset + kBinRecordHeaderBytes);
    if (offset + r.length > flash.size() ||
        !std::equal(data, data + r.length, flash.begin() + static_cast<std::ptrdiff_t>(offset))) {
      return ::testing::AssertionFailure() << "the record for flash offset " << offset << " is not in the flash";
    }
  }
  return ::testing::AssertionSuccess();
}

std::string WithoutCaption(const std::string& message) { return message.substr(message.find(": ") + 2); }

QString DefaultButtonOf(QMessageBox* box) {
  return box->defaultButton() != nullptr ? box->defaultButton()->objectName() : QString();
}

TEST_F(QtShell, UpdateChoosesTheFileConfirmsTheRegionsAndOffersRegistryClearAndReset) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(WindowTitle(main), "Flashwright 3.7.1");
  // Wide enough for the whole title in a bold caption, with the caption's
  // icon and buttons beside it.
  QFont captionFont = QApplication::font();
  captionFont.setBold(true);
  captionFont.setPointSizeF(captionFont.pointSizeF() * kCaptionFontScale);
  QFontMetrics caption(captionFont);
  int titleRoom = caption.horizontalAdvance(WindowTitle(main)) + kCaptionRoomLines * caption.height();
  EXPECT_GE(DialogWindow(main)->width(), titleRoom);
  std::vector<uint8_t> image = StoreFile("USB HD/IMAGES/nk.bin");
  std::vector<uint8_t> before = Flash();
  ASSERT_FALSE(FlashHolds(image, before)) << "the sample is newer than what the flash holds";
  ASSERT_EQ(WordAt(before, kRegistryBase), kRegistryHalfMagic);

  ASSERT_TRUE(Click(main, IDC_MAIN_UPDATE));
  QWidget* chooser = WaitForFileDialog();
  ASSERT_NE(chooser, nullptr);
  EXPECT_EQ(chooser->windowTitle(), "Open");
  EXPECT_EQ(chooser->findChild<QLineEdit*>("folder")->text(), "\\USB HD\\IMAGES");
  EXPECT_EQ(chooser->findChild<QComboBox*>("filter")->currentText(), "IMAGE files (*.bin)");
  // The file is named by keyboard, as a person types it; the question takes
  // the keyboard at once: Shift+Tab goes from No to Yes.
  ASSERT_TRUE(HasKeyboard(chooser));
  TypeText("nk.bin");
  PressKey(Qt::Key_Return);

  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "WARNING");
  EXPECT_EQ(box->text().toStdString(), WithoutCaption(kConfirmOs));
  EXPECT_EQ(box->icon(), QMessageBox::Warning);
  EXPECT_EQ(DefaultButtonOf(box), QString("button%1").arg(IDNO));
  ASSERT_TRUE(HasKeyboard(box));
  PressKey(Qt::Key_Backtab, Qt::ShiftModifier);
  PressKey(Qt::Key_Space);

  box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "Clear Registry");
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  EXPECT_EQ(DefaultButtonOf(box), QString("button%1").arg(IDNO));
  // Each question is answered by its letter, and the one after a keyboard
  // answer has the keyboard too.
  ASSERT_TRUE(HasKeyboard(box));
  PressKey(Qt::Key_Y);

  box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "RESET");
  EXPECT_EQ(DefaultButtonOf(box), QString("button%1").arg(IDYES));
  ASSERT_TRUE(HasKeyboard(box));
  PressKey(Qt::Key_Y, Qt::AltModifier);
  EXPECT_TRUE(HasKeyboard(DialogWindow(main))) << "the main dialog has the keyboard again after the update";
  EXPECT_EQ(StopProgram(), 1);

  EXPECT_EQ(Messages(), (std::vector<std::string>{kConfirmOs, kAskRegistryClear, kAskReset}));
  std::vector<uint8_t> after = Flash();
  EXPECT_TRUE(FlashHolds(image, after));
  EXPECT_NE(WordAt(after, kRegistryBase), kRegistryHalfMagic) << "Yes cleared the registry";
  std::vector<uint8_t> events;
  std::string error;
  ASSERT_TRUE(BinImageReadFile(BoardEventsLogPath(dir_), &events, &error)) << error;
  EXPECT_NE(std::string(events.begin(), events.end()).find("cold restart"), std::string::npos);
}

TEST_F(QtShell, VersionInfoReportsTheBootloaderAndTheRunningImage) {
  HWND main = StartProgram();
  ASSERT_NE(main, nullptr);
  // The NOR modules carry no CPLD.
  EXPECT_FALSE(Control<QPushButton>(main, IDC_MAIN_CPLD)->isVisible());
  ASSERT_TRUE(Click(main, IDC_MAIN_VERSION));
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->windowTitle(), "BSP Version");
  EXPECT_EQ(box->text().toStdString(),
            "Bootloader (in Flash)\r\nID:\tWRENLET\r\nVer:\t1.4 \r\nBuilt:\t20 Nov 2008 9:30:00 (GMT)\r\n\r\n"
            "Image (current running)\r\nID:\tWRENLET\r\nVer:\t3.7 BETA, Build 1 (CE 5.0)\r\nBuilt:\t05 Mar 2009 "
            "14:03:07 (GMT)");
  ASSERT_TRUE(Answer(box, IDOK));
  EXPECT_EQ(StopProgram(), 1);
  EXPECT_EQ(Messages().size(), 1u);
}

// What the GUI thread saw of the progress window while the flash was written.
struct ProgressWatch {
  std::set<int> totalValues;
  int totalMaximum = 0;
  int lastTotal = -1;
  int turnsMidway = 0;  // event loop turns while the bar was neither empty nor full
  bool pressedMainButton = false;
};

TEST_F(QtShell, ProgressMovesWhileTheWindowsKeepProcessingEvents) {
  HWND main = StartProgram({"flash.timing=realistic"});
  ASSERT_NE(main, nullptr);
  std::vector<uint8_t> image = StoreFile("USB HD/IMAGES/eboot.bin");
  ASSERT_TRUE(Click(main, IDC_MAIN_UPDATE));
  QWidget* chooser = WaitForFileDialog();
  ASSERT_NE(chooser, nullptr);
  ASSERT_TRUE(AcceptFile(chooser, "eboot.bin"));
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  HWND progress = UiFindDialog(IDD_PROGRESS);
  ASSERT_NE(progress, nullptr) << "the file is checked under the progress window";
  EXPECT_EQ(WindowTitle(progress), "Image Update");

  // Sampled on the GUI thread, from its event loop, as a user would see it.
  ProgressWatch watch;
  QTimer sampler;
  auto sample = [&] {
    auto* total = Control<QProgressBar>(progress, IDC_PROGRESS_TOTAL_BAR);
    if (total == nullptr) return;
    watch.totalValues.insert(total->value());
    watch.totalMaximum = total->maximum();
    watch.lastTotal = total->value();
    if (total->value() > total->minimum() && total->value() < total->maximum()) watch.turnsMidway++;
    // Half way the main dialog is pressed: the progress window keeps it
    // from taking input, so nothing may come of it.
    auto* versionInfo = Control<QPushButton>(main, IDC_MAIN_VERSION);
    if (!watch.pressedMainButton && versionInfo != nullptr && total->value() > total->minimum() &&
        total->value() < total->maximum()) {
      watch.pressedMainButton = true;
      QTest::mouseClick(versionInfo, Qt::LeftButton);
    }
  };
  QObject::connect(&sampler, &QTimer::timeout, sample);
  sampler.start(kSampleEveryMs);
  ASSERT_TRUE(Answer(box, IDYES));
  box = WaitForMessageBox();
  sampler.stop();
  // The bar's last step may come after the sampler's last turn on a loaded machine.
  sample();
  ASSERT_NE(box, nullptr);
  ASSERT_TRUE(Answer(box, IDNO));
  EXPECT_EQ(StopProgram(), 1);

  EXPECT_GE(watch.totalValues.size(), kLeastBarValues) << "the lower bar jumped straight to its end";
  EXPECT_EQ(watch.lastTotal, watch.totalMaximum) << "it ends full";
  // However loaded the machine, the windows take events while the flash is
  // written: the sampler ran again and again with the update under way.
  EXPECT_GE(watch.turnsMidway, static_cast<int>(kLeastBarValues)) << "the event loop stalled during the update";
  EXPECT_TRUE(watch.pressedMainButton);
  EXPECT_EQ(Messages(), (std::vector<std::string>{kConfirmBootloader, kAskReset}))
      << "the main dialog took no input under the progress window";
  EXPECT_TRUE(FlashHolds(image, Flash()));
}

}  // namespace
