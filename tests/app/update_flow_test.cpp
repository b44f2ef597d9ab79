#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/main_dialog.h"
#include "app/progress.h"
#include "app/region_flows.h"
#include "app/resources.h"
#include "app/runner.h"
#include "app/shell_state.h"
#include "app/update_flow.h"
#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "flash/nor.h"
#include "fwlib/init.h"
#include "fwlib/library_state.h"
#include "fwlib/region_scan.h"
#include "fwlib/regions.h"
#include "module/atomic_file.h"
#include "module/bin_image_builder.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/ui/recording.h"
#include "platform/ui/ui_backend.h"
#include "tests/app/shell_fixture.h"
#include "tests/support/temp_module.h"
#include "tests/support/xsvf_writer.h"

namespace {

constexpr const char* kConfirmOsOnly =
    "WARNING: This Image will overwrite the following sections:\n- OS Image\n\n\nAre you sure you want to continue? "
    "(308)";
constexpr const char* kAskRegistryClear =
    "Clear Registry: You updated a new OS, do you want to clear the Registry? (292)";
constexpr const char* kAskReset = "RESET: To finish the update reset the system.\n Reset now? (36)";

class UpdateFlow : public ::testing::Test {
 protected:
  void SetUp() override { Attach({}); }
  // A restart would end the test process; these modules only log it.
  void Attach(std::vector<std::string> settings) {
    Reset();
    PlatformDetachModule();
    settings.push_back("faults.restart_returns=true");
    dir_ = AttachTempModuleWith(settings);
    ASSERT_FALSE(dir_.empty());
    ASSERT_EQ(FWLInit(), 0u);
  }
  static void Use(const std::u16string& name) {
    TextCopy(g_shell.currentImagePath, MAX_PATH, (u"\\USB HD\\IMAGES\\" + name).c_str());
  }
  void TearDown() override {
    Reset();
    PlatformDetachModule();
  }
  static void Reset() { ResetShellForTests(); }

  static std::vector<RecordedEvent> Events(RecordedKind kind) { return RecordedOfKind(kind); }
  static std::vector<std::string> Messages() { return RecordedMessages(); }
  std::string EventsLog() const {
    std::string log, error;
    ReadWholeFile(dir_ + "/events.log", &log, &error);
    return log;
  }

  void StoreImage(const char* name, const BinImageSpec& spec) {
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(BinImageBuild(spec, &bytes, &error)) << error;
    ASSERT_TRUE(BinImageStore(dir_, name, bytes, &error)) << error;
  }
  // NOR flash.img holds the flash byte for byte.
  std::vector<uint8_t> FlashBytes(uint32_t offset, uint32_t length) const {
    std::vector<uint8_t> image;
    std::string error;
    if (!BinImageReadFile(dir_ + "/flash.img", &image, &error) || offset + length > image.size()) return {};
    return std::vector<uint8_t>(image.begin() + offset, image.begin() + offset + length);
  }

  std::string dir_;
};

// The last position and range a flow's progress window gave `bar`.
std::pair<intptr_t, intptr_t> BarEnd(int bar) {
  std::pair<intptr_t, intptr_t> end = {-1, -1};
  for (const RecordedEvent& e : RecordingEvents()) {
    if (e.kind != RecordedKind::Changed || e.templateId != IDD_PROGRESS || e.controlId != bar) continue;
    if (e.change == UiChange::ProgressPos) end.first = e.value;
    if (e.change == UiChange::ProgressRange) end.second = e.value;
  }
  return end;
}

// A backup of regions that are partly empty saves their used bytes only,
// and the update from it writes just those: once either has finished, both
// bars stand at their ends, not at the share of bytes the image holds.
TEST_F(UpdateFlow, FinishedBackupAndUpdateEndTheirBarsAtTheirEnds) {
  g_shell.selectedCount = 3;
  g_shell.backupSelection = {REGION_BOOTLOADER | REGION_CONFIG_BLOCK | REGION_OS_IMAGE, 0, 0, 0};
  ASSERT_EQ(FWLGetRegionInfo(&g_shell.backupSelection, nullptr), 0u);
  RecordingChooseFile(u"\\USB HD\\IMAGES\\three.bin");
  ASSERT_EQ(RunRegionBackup(nullptr), 1) << RecordingLog();
  for (int bar : {IDC_PROGRESS_STEP_BAR, IDC_PROGRESS_TOTAL_BAR}) {
    std::pair<intptr_t, intptr_t> end = BarEnd(bar);
    EXPECT_TRUE(end.second > 0 && end.first == end.second) << bar << ": " << end.first << " of " << end.second;
  }

  RecordingReset();
  Use(u"three.bin");
  g_shell.unattendedMode = 1;
  ASSERT_EQ(RunImageUpdate(nullptr), 1) << RecordingLog();
  for (int bar : {IDC_PROGRESS_STEP_BAR, IDC_PROGRESS_TOTAL_BAR}) {
    std::pair<intptr_t, intptr_t> end = BarEnd(bar);
    EXPECT_TRUE(end.second > 0 && end.first == end.second) << bar << ": " << end.first << " of " << end.second;
  }
}

TEST_F(UpdateFlow, InteractiveUpdateConfirmsThenOffersRegistryClearAndReset) {
  RecordingChooseFile(u"\\USB HD\\IMAGES\\nk.bin");
  RecordingAnswer(IDYES);
  RecordingAnswer(IDYES);
  RecordingAnswer(IDYES);
  EXPECT_EQ(RunImageUpdate(nullptr), 1) << RecordingLog();
  EXPECT_EQ(Messages(), (std::vector<std::string>{kConfirmOsOnly, kAskRegistryClear, kAskReset})) << RecordingLog();
  EXPECT_NE(EventsLog().find("cold restart"), std::string::npos) << EventsLog();
  EXPECT_EQ(g_shell.currentImagePath[0], u'\0');
  std::vector<RecordedEvent> opened = Events(RecordedKind::DialogOpened);
  ASSERT_EQ(opened.size(), 1u) << RecordingLog();
  EXPECT_EQ(opened[0].templateId, IDD_PROGRESS);
  EXPECT_EQ(RecordingClosedCount(IDD_PROGRESS), 1) << "the window goes with the flow";
}

TEST_F(UpdateFlow, ConfirmationListsEveryCoveredRegionAndNoIsFinal) {
  // One record across the end of the OS image into the registry.
  FWLScanRegions(REGION_ALL);
  uint32_t registryBase = 0;
  for (size_t i = 0; i < REGION_COUNT; i++) {
    if ((RegionTable()[i].id & REGION_ID_BITS) == REGION_REGISTRY) registryBase = RegionTable()[i].base;
  }
  ASSERT_NE(registryBase, 0u);
  constexpr uint32_t kBytes = 0x200;
  std::vector<uint8_t> data = BinFillerBytes(kBytes, 7);
  StoreImage("span.bin", BinSingleRecordImage(registryBase - kBytes / 2, data));
  const std::string confirm =
      "WARNING: This Image will overwrite the following sections:\n- OS Image\n- Registry\n\n\nAre you sure you "
      "want to continue? (308)";

  Use(u"span.bin");
  RecordingAnswer(IDNO);
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{confirm});
  EXPECT_NE(FlashBytes(registryBase - kBytes / 2, kBytes), data) << "declined: nothing written";
  EXPECT_EQ(g_shell.currentImagePath[0], u'\0');

  RecordingReset();
  Use(u"span.bin");
  RecordingAnswer(IDYES);
  RecordingAnswer(IDNO);
  EXPECT_EQ(RunImageUpdate(nullptr), 1) << RecordingLog();
  // The registry went in with the OS, so there is none to clear.
  EXPECT_EQ(Messages(), (std::vector<std::string>{confirm, kAskReset}));
  EXPECT_EQ(FlashBytes(registryBase - kBytes / 2, kBytes), data);
  EXPECT_EQ(EventsLog().find("restart"), std::string::npos);
}

TEST_F(UpdateFlow, UnattendedRunsAskNothingButStillReportErrors) {
  g_shell.unattendedMode = 1;
  Use(u"nk.bin");
  EXPECT_EQ(RunImageUpdate(nullptr), 1) << RecordingLog();
  EXPECT_TRUE(Messages().empty()) << RecordingLog();
  EXPECT_EQ(EventsLog().find("restart"), std::string::npos);

  BinImageSpec bad = BinSingleRecordImage(0x80000, BinFillerBytes(0x1000, 3));
  bad.bin.records[0].checksumDelta = 1;
  StoreImage("bad.bin", bad);
  Use(u"bad.bin");
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{
                            "ERROR: Bin file with corrupt CRC!\nFile corrupt or incompatible file version. (16)"});
}

TEST_F(UpdateFlow, RefusedFilesEndBeforeAnyQuestion) {
  // The NOR module has no CPLD, so a CPLD-only image holds nothing for it.
  BinImageSpec cpld;
  cpld.hasBinPart = false;
  cpld.hasCpld = true;
  cpld.cpld.data = XsvfEmptyDesign();
  StoreImage("cpld.bin", cpld);
  Use(u"cpld.bin");
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{"ERROR: This bin file doesn't contain update data which is valid "
                                                 "for this hardware. (16)"});

  RecordingReset();
  BinImageSpec cut = BinSingleRecordImage(0x80000, BinFillerBytes(0x1000, 9));
  cut.truncateBytes = 0x100;
  StoreImage("cut.bin", cut);
  Use(u"cut.bin");
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{"ERROR: Not a valid WinCE binary image file! (16)"});
}

TEST_F(UpdateFlow, FlashFailureIsReportedAfterTheConfirmation) {
  Attach({"faults.erase_error_block=0x80000"});
  Use(u"nk.bin");
  RecordingAnswer(IDYES);
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), (std::vector<std::string>{kConfirmOsOnly, "ERROR: Error erasing Flash! (16)"}))
      << RecordingLog();
}

TEST_F(UpdateFlow, FailSafeModulesTakeOnlySecondBootloaderImages) {
  Attach({"board.two_stage=true"});
  // A bootloader image lands on the second bootloader of a two-stage module.
  Use(u"eboot.bin");
  RecordingAnswer(IDNO);
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), std::vector<std::string>{"WARNING: This Image will overwrite the following sections:\n- "
                                                 "Second Bootloader\n\n\nAre you sure you want to continue? (308)"});

  // One that would run on past it is refused before any question.
  RecordingReset();
  BinImageSpec large = BinSingleRecordImage(kBinBootWindowFirst, BinFillerBytes(0x1000, 11));
  large.bin.imageLength = 0x100000;
  StoreImage("large.bin", large);
  Use(u"large.bin");
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  const std::vector<std::string> refused = {
      "ERROR: Updating with this bin file is not allowed since the FailSafe feature is enabled! (16)"};
  EXPECT_EQ(Messages(), refused) << RecordingLog();

  // A file of flash offsets over the first bootloader (a backup of it) means
  // those very bytes: refused, not moved onto the second bootloader.
  RecordingReset();
  constexpr uint32_t kSecondBootloaderBase = 0x80000;
  std::vector<uint8_t> second = FlashBytes(kSecondBootloaderBase, 0x1000);
  StoreImage("first.bin", BinSingleRecordImage(0, BinFillerBytes(0x1000, 12)));
  Use(u"first.bin");
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_EQ(Messages(), refused) << RecordingLog();
  EXPECT_EQ(FlashBytes(kSecondBootloaderBase, 0x1000), second);
}

TEST_F(UpdateFlow, FileDialogStartsWhereTheLastImageWas) {
  // Cancelled: no window, no message, and the folder is kept.
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_TRUE(Events(RecordedKind::DialogOpened).empty());
  EXPECT_TRUE(Messages().empty());
  EXPECT_TRUE(std::u16string(g_shell.lastDirectory) == u"\\USB HD\\IMAGES");

  std::vector<uint8_t> nk;
  std::string error;
  ASSERT_TRUE(BinImageReadFile(dir_ + "/root/USB HD/IMAGES/nk.bin", &nk, &error)) << error;
  std::filesystem::create_directories(dir_ + "/root/USB HD/IMAGES/new");
  ASSERT_TRUE(BinImageWriteFile(dir_ + "/root/USB HD/IMAGES/new/nk.bin", nk, &error)) << error;
  RecordingChooseFile(u"\\USB HD\\IMAGES\\new\\nk.bin");
  RecordingAnswer(IDNO);
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  EXPECT_TRUE(std::u16string(g_shell.lastDirectory) == u"\\USB HD\\IMAGES\\new\\") << RecordingLog();

  // A bare name is taken from the folder the dialog starts in.
  RecordingReset();
  RecordingChooseFile(u"nk.bin");
  RecordingAnswer(IDNO);
  EXPECT_EQ(RunImageUpdate(nullptr), 0);
  std::vector<RecordedEvent> chosen = Events(RecordedKind::FileDialog);
  ASSERT_EQ(chosen.size(), 1u) << RecordingLog();
  EXPECT_TRUE(TextEqualNoCase(chosen[0].text, u"\\USB HD\\IMAGES\\new\\nk.bin")) << RecordingLog();
  EXPECT_EQ(Messages().size(), 1u) << RecordingLog();
}

TEST_F(UpdateFlow, UpdateButtonRunsTheFlowBesideTheMainDialog) {
  RecordingOnDialog(IDD_MAIN, RecordingClick(IDC_MAIN_UPDATE));
  RecordingOnDialog(IDD_MAIN, RecordingAwaitClosed(IDD_PROGRESS, 1));
  RecordingChooseFile(u"\\USB HD\\IMAGES\\nk.bin");
  RecordingAnswer(IDNO);
  std::u16string line;
  ParseCommandLine(line.data());
  EXPECT_EQ(RunCommands(nullptr), 1);
  std::vector<RecordedEvent> opened = Events(RecordedKind::DialogOpened);
  ASSERT_EQ(opened.size(), 2u) << RecordingLog();
  EXPECT_EQ(opened[1].templateId, IDD_PROGRESS);
  EXPECT_EQ(opened[1].value, IDD_MAIN) << "modal to the main dialog";
  std::vector<RecordedEvent> files = Events(RecordedKind::FileDialog);
  ASSERT_EQ(files.size(), 1u) << RecordingLog();
  EXPECT_EQ(Messages(), std::vector<std::string>{kConfirmOsOnly});
  EXPECT_EQ(g_shell.currentImagePath[0], u'\0') << "the dialog waited for the flow to end";
}

}  // namespace
