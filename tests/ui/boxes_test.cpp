// Message boxes and file dialogs, answered by the recording backend's script.
#include "platform/error.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/message_box.h"
#include "platform/ui/recording.h"
#include "tests/support/temp_module.h"
#include "tests/ui/ui_fixture.h"

namespace {

// The five styles the program uses.
constexpr UINT kInfo = MB_OK;
constexpr UINT kError = MB_OK | MB_ICONHAND;
constexpr UINT kQuestion = MB_YESNO | MB_ICONQUESTION;
constexpr UINT kQuestionDefaultNo = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
constexpr UINT kWarningDefaultNo = MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2;

TEST(MessageBoxStyles, TheProgramsFiveStylesDecodeToButtonsIconAndDefault) {
  struct Case {
    UINT style;
    int buttonCount;
    UiIcon icon;
    int defaultButton;
    int escapeAnswer;
  };
  const Case cases[] = {
      {kInfo, 1, UiIcon::None, IDOK, IDOK},
      {kError, 1, UiIcon::Error, IDOK, IDOK},
      {kQuestion, 2, UiIcon::Question, IDYES, 0},
      {kQuestionDefaultNo, 2, UiIcon::Question, IDNO, 0},
      {kWarningDefaultNo, 2, UiIcon::Warning, IDNO, 0},
      {MB_YESNOCANCEL | MB_DEFBUTTON3 | MB_ICONASTERISK, 3, UiIcon::Information, IDCANCEL, IDCANCEL},
  };
  EXPECT_EQ(kQuestion, 0x24u);
  EXPECT_EQ(kQuestionDefaultNo, 0x124u);
  EXPECT_EQ(kWarningDefaultNo, 0x134u);
  for (const Case& c : cases) {
    UiMessageBox box;
    ASSERT_TRUE(MessageBoxDecodeStyle(c.style, &box)) << c.style;
    EXPECT_EQ(box.buttonCount, c.buttonCount) << c.style;
    EXPECT_EQ(box.icon, c.icon) << c.style;
    EXPECT_EQ(box.defaultButton, c.defaultButton) << c.style;
    EXPECT_EQ(box.escapeAnswer, c.escapeAnswer) << c.style;
  }
  UiMessageBox yesNo;
  MessageBoxDecodeStyle(kQuestion, &yesNo);
  EXPECT_EQ(yesNo.buttons[0], IDYES);
  EXPECT_EQ(yesNo.buttons[1], IDNO);
  UiMessageBox bad;
  EXPECT_FALSE(MessageBoxDecodeStyle(0xE, &bad));
}

class Boxes : public UiTest {};

TEST_F(Boxes, QuestionsTakeScriptedAnswersElseTheirDefault) {
  RecordingAnswer(IDYES);
  RecordingAnswer(IDOK);  // not a button of a Yes/No box: the default answers
  EXPECT_EQ(MessageBoxW(nullptr, u"Registry successfully saved", u"Registry", kInfo), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"Erase?", u"Flash Erase", kQuestion), IDYES);
  EXPECT_EQ(MessageBoxW(nullptr, u"Overwrite?", u"File Exists", kQuestionDefaultNo), IDNO);
  EXPECT_EQ(MessageBoxW(nullptr, u"Go on?", u"WARNING", kWarningDefaultNo), IDNO);
  EXPECT_EQ(MessageBoxW(nullptr, u"x", nullptr, 0xE), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  std::vector<RecordedEvent> events = RecordingEvents();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(events[0].caption == u"Registry");
  EXPECT_EQ(events[0].style, kInfo);
  EXPECT_TRUE(events[1].scripted);
  EXPECT_FALSE(events[2].scripted);
  EXPECT_EQ(events[3].style, kWarningDefaultNo);
  EXPECT_NE(RecordingLog().find("box \"WARNING\" \"Go on?\" style 0x134 answer 7 (default)"), std::string::npos)
      << RecordingLog();
}

class FileDialogs : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    ASSERT_TRUE(AttachModuleWithImages());
    MakeFile(u"\\UiTest\\IMAGES\\notes.txt");
    ASSERT_TRUE(CreateDirectoryW(u"\\UiTest\\IMAGES\\new", nullptr));
  }
  void TearDown() override {
    UiTest::TearDown();
    PlatformDetachModule();
  }
  static void MakeFile(const WCHAR* path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
  }
  // The update flow's open dialog.
  OPENFILENAMEW OpenRecord() { return ImageOpenRequest(file_, u"\\UiTest\\IMAGES"); }
  // The backup flow's save dialog.
  OPENFILENAMEW SaveRecord() {
    OPENFILENAMEW ofn = OpenRecord();
    std::u16string name = u"FlashBackup";
    std::fill(std::begin(file_), std::end(file_), 0);
    std::copy(name.begin(), name.end(), file_);
    ofn.lpstrInitialDir = nullptr;
    ofn.lpstrTitle = u"Save Region As";
    ofn.lpstrDefExt = u"bin";
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    return ofn;
  }
  WCHAR file_[MAX_PATH] = {};
};

TEST_F(FileDialogs, OpenRefusesMissingFilesAndReturnsTheModulePath) {
  RecordingChooseFile(u"missing.bin");
  RecordingChooseFile(u"\\Nowhere\\nk.bin");
  RecordingChooseFile(u"new");  // a folder: the chooser goes there
  RecordingChooseFile(u"../NK.BIN");
  OPENFILENAMEW ofn = OpenRecord();
  ASSERT_TRUE(GetOpenFileNameW(&ofn)) << RecordingLog();
  EXPECT_TRUE(std::u16string(file_) == u"\\UiTest\\IMAGES\\NK.BIN") << RecordingLog();
  EXPECT_EQ(ofn.nFileOffset, 15);
  EXPECT_EQ(ofn.nFileExtension, 18);
  EXPECT_EQ(ofn.nFilterIndex, 1u);
  std::string log = RecordingLog();
  EXPECT_NE(log.find("refused \"missing.bin\\nFile not found."), std::string::npos) << log;
  EXPECT_NE(log.find("refused \"\\Nowhere\\nPath does not exist."), std::string::npos) << log;
  EXPECT_NE(log.find("open \"Open\" -> \"\\UiTest\\IMAGES\\NK.BIN\""), std::string::npos) << log;
}

TEST_F(FileDialogs, CancelAndBadRecordsSayWhy) {
  RecordingCancelFile();
  OPENFILENAMEW ofn = OpenRecord();
  EXPECT_FALSE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), 0u);
  EXPECT_FALSE(GetOpenFileNameW(&ofn)) << "nothing scripted cancels too";

  ofn.lStructSize = 12;
  EXPECT_FALSE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), CDERR_STRUCTSIZE);
  ofn = OpenRecord();
  ofn.lpstrFile = nullptr;
  EXPECT_FALSE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), CDERR_INITIALIZATION);

  WCHAR tiny[8] = {};
  ofn = OpenRecord();
  ofn.lpstrFile = tiny;
  ofn.nMaxFile = 8;
  RecordingChooseFile(u"nk.bin");
  EXPECT_FALSE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), FNERR_BUFFERTOOSMALL);
  EXPECT_EQ(tiny[0], 22) << "the capacity the path needs";
}

TEST_F(FileDialogs, SaveAddsTheDefaultExtensionAndAsksBeforeReplacing) {
  // A name of its own, then the proposed one; the save flow's folder is
  // where the last dialog ended.
  RecordingChooseFile(u"\\UiTest\\IMAGES\\new\\part1");
  OPENFILENAMEW ofn = SaveRecord();
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_TRUE(std::u16string(file_) == u"\\UiTest\\IMAGES\\new\\part1.bin");
  EXPECT_EQ(ofn.Flags & OFN_EXTENSIONDIFFERENT, 0u);

  RecordingChooseFile(u"FlashBackup");
  ofn = SaveRecord();
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_TRUE(std::u16string(file_) == u"\\UiTest\\IMAGES\\new\\FlashBackup.bin") << RecordingLog();

  RecordingChooseFile(u"\\Temp\\notes.txt");
  ofn = SaveRecord();
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_NE(ofn.Flags & OFN_EXTENSIONDIFFERENT, 0u);

  // With the overwrite prompt an existing file is replaced only on Yes.
  RecordingChooseFile(u"\\UiTest\\IMAGES\\nk.bin");
  RecordingAnswer(IDNO);
  RecordingChooseFile(u"\\UiTest\\IMAGES\\nk.bin");
  RecordingAnswer(IDYES);
  ofn = SaveRecord();
  ofn.Flags |= OFN_OVERWRITEPROMPT;
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_TRUE(std::u16string(file_) == u"\\UiTest\\IMAGES\\nk.bin");
  std::string log = RecordingLog();
  EXPECT_NE(log.find("already exists.\\nDo you want to replace it?\" style 0x34 answer 7"), std::string::npos) << log;
}

TEST_F(FileDialogs, FiltersAndListingsFollowTheRecord) {
  std::vector<UiFileFilter> filters = FileDialogParseFilter(u"IMAGE files\0*.bin;*.nb0\0All\0*.*\0");
  ASSERT_EQ(filters.size(), 2u);
  EXPECT_TRUE(filters[0].description == u"IMAGE files");
  ASSERT_EQ(filters[0].patterns.size(), 2u);
  EXPECT_TRUE(filters[0].patterns[1] == u"*.nb0");
  EXPECT_TRUE(FileDialogParseFilter(nullptr).empty());
  // A list without its closing terminator is read no further than the bound.
  std::vector<WCHAR> unterminated(kMaxFilterUnits + 100, u'x');
  EXPECT_TRUE(FileDialogParseFilter(unterminated.data()).empty());

  UiFileRequest request;
  request.filters = filters;
  std::vector<FileDialogEntry> entries = FileDialogList(request, u"\\UiTest\\IMAGES");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].name == u"new" && entries[0].folder);
  EXPECT_TRUE(entries[1].name == u"nk.bin");
  request.filterIndex = 1;
  EXPECT_EQ(FileDialogList(request, u"\\UiTest\\IMAGES").size(), 3u);
  EXPECT_TRUE(FileDialogParent(u"\\UiTest\\IMAGES") == u"\\UiTest");
  EXPECT_TRUE(FileDialogParent(u"\\") == u"\\");
  EXPECT_TRUE(FileDialogJoin(u"\\", u"\\x") == u"\\x");
}

}  // namespace
