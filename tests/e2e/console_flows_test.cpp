// The interactive program in the terminal, driven line by line through its
// standard input as a user at a console would drive it, on each board.
#include <gtest/gtest.h>

#include <algorithm>

#include "module/atomic_file.h"
#include "module/module_dir.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/module_content.h"
#include "tests/support/temp_module.h"

namespace {

// The sample OS image covers the OS image region of both boards.
constexpr uint32_t kOsImage = 0x80000, kOsImageBytes = 0x64000, kOsRegionBytes = 0x1380000;
// Signature, image start and length, then the record's address, length, sum.
constexpr size_t kFirstRecordData = 7 + 8 + 12;
// A page of the NAND board's OS image: block 4 is not moved at the factory.
constexpr char kOsImagePage[] = "257";
const char kNkBin[] = "\\USB HD\\IMAGES\\nk.bin";

std::string BoardName(const testing::TestParamInfo<std::string>& board) { return board.param; }

class Console : public testing::TestWithParam<std::string> {};

TEST_P(Console, UpdateFromTheMainDialog) {
  std::string dir = MakeModule({}, GetParam());
  // Update, the image, Yes to the confirmation, No to the registry clear;
  // then the input ends: the reset question takes No, nobody being there to
  // restart the module for, and the main dialog closes.
  ProgramResult r = Flashwright(dir, {}, std::string("u\n") + kNkBin + "\ny\nn\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("Reset now?\n  [Y]es / [N]o (Enter: Yes) > \n  (end of input: No, the answer that changes nothing)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("module restarted"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[WARNING] (!) This Image will overwrite the following sections:\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("- OS Image"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Image Len: 00064000"), std::string::npos) << "the progress window was drawn";

  std::string unattended = MakeModule({}, GetParam());
  ASSERT_EQ(Flashwright(unattended, {"/u", kNkBin}).exitCode, 1);
  std::vector<uint8_t> written = ModuleFlashContent(dir, kOsImage, kOsImageBytes);
  EXPECT_TRUE(written == ModuleFlashContent(unattended, kOsImage, kOsImageBytes));
  EXPECT_FALSE(written == ModuleFlashContent(MakeModule({}, GetParam()), kOsImage, kOsImageBytes))
      << "the image differs from what the factory laid down";
}

// Selects the OS image (after a try without "l "), reveals the hidden
// buttons with Shift and Ctrl held under a click, erases it, closes both
// dialogs.
TEST_P(Console, EraseOfARegionFromTheBackupDialog) {
  std::string dir = MakeModule({}, GetParam());
  std::vector<uint8_t> boot = ModuleFlashContent(dir, 0, kOsImage);
  ProgramResult r = Flashwright(dir, {}, "b\n2\nl 2\nclick shift ctrl\ne\ny\nclose\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("to select list entries type: l 2"), std::string::npos) << r.err;
  // The region's end is reached, named by its flash offset, and shown
  // before the message about it.
  size_t done = r.err.find("Erasing Flash (at 01400000) done\n");
  ASSERT_NE(done, std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Erasing", done + 1), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("[Success] Region(s) successfully erased", done), std::string::npos) << r.err;
  // The main dialog is drawn again when the backup dialog has gone.
  size_t backupClosed = r.err.rfind("+- BackUp ");
  EXPECT_NE(r.err.find("+- Flashwright 3.7.1 ", backupClosed), std::string::npos) << r.err;
  std::vector<uint8_t> region = ModuleFlashContent(dir, kOsImage, kOsRegionBytes);
  EXPECT_TRUE(std::all_of(region.begin(), region.end(), [](uint8_t byte) { return byte == 0xFF; }));
  EXPECT_TRUE(ModuleFlashContent(dir, 0, kOsImage) == boot);
  EXPECT_FALSE(PersistentRegistry(dir).empty());
}

// Save with a value only the live registry has, the version report, then
// Clear in a second run.
TEST_P(Console, RegistryButtonsAndTheVersionReport) {
  std::string dir = MakeModule({}, GetParam());
  std::string live = ReadFile(ModuleRegistryPath(dir)) + "\n[HKEY_LOCAL_MACHINE\\Test]\n\"Marker\"=dword:0000002a\n";
  std::string error;
  ASSERT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir), live, &error)) << error;
  ProgramResult r = Flashwright(dir, {}, "s\nv\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("[Registry] Registry successfully saved"), std::string::npos) << r.err;
  EXPECT_NE(PersistentRegistry(dir).find("\"Marker\"=dword:0000002a"), std::string::npos);
  // The bootloader's version record read from the flash, and the running image's.
  EXPECT_NE(r.err.find("Bootloader (in Flash)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Ver:\t1.4"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Ver:\t3.7 BETA, Build 1 (CE 5.0)"), std::string::npos) << r.err;

  r = Flashwright(dir, {}, "c\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("[Registry] Registry successfully cleared"), std::string::npos) << r.err;
  EXPECT_TRUE(PersistentRegistry(dir).empty());
}

// A restart boots what the flash holds: the factory's OS image, the newer one
// an update wrote, or, with the OS image region erased, the bootloader.
TEST_P(Console, TheModuleBootsWhatWasFlashed) {
  std::string dir = MakeModule({}, GetParam());
  auto runningAfterRestart = [&](std::vector<std::string> switches) {
    switches.push_back("/rc");
    ProgramResult restart = Flashwright(dir, switches);
    EXPECT_NE(restart.err.find("module restarted (cold)"), std::string::npos) << restart.err;
    std::string report = Flashwright(dir, {}, "v\n").err;
    size_t at = report.find("Image (current running)");
    return at == std::string::npos ? report : report.substr(at);
  };
  std::string running = runningAfterRestart({});
  EXPECT_NE(running.find("Ver:\t3.7 BETA, Build 1 (CE 5.0)"), std::string::npos) << running;
  EXPECT_NE(running.find("Built:\t05 Mar 2009 14:03:07"), std::string::npos) << running;

  running = runningAfterRestart({"/u", kNkBin});
  EXPECT_NE(running.find("Ver:\t3.8  (CE 5.0)"), std::string::npos) << running;
  EXPECT_NE(running.find("Built:\t01 Jun 2010 12:00:00"), std::string::npos) << running;

  ASSERT_EQ(Flashwright(dir, {}, "b\nl 2\nclick right\ne\ny\n").exitCode, 1);
  running = runningAfterRestart({});
  EXPECT_NE(running.find("Ver:\t1.4  (CE 5.0)"), std::string::npos) << "the bootloader's\n" << running;
  EXPECT_NE(running.find("Built:\t20 Nov 2008"), std::string::npos) << running;
  // The program runs on it and puts an OS image back.
  EXPECT_NE(runningAfterRestart({"/u", kNkBin}).find("Ver:\t3.8"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Boards, Console, testing::Values("nor", "nand"), BoardName);

// A region backup of the OS image after an update wrote it; on the NAND
// board also with a bit error in one of its pages, which the correction code
// repairs when it can, and which fails the backup when it cannot.
struct RegionBackup {
  const char* name;
  const char* board;
  const char* fault;
  const char* failure;  // nullptr: the backup holds the flash
};

class ConsoleBackup : public testing::TestWithParam<RegionBackup> {};

TEST_P(ConsoleBackup, OfOneRegionFromTheBackupDialog) {
  const RegionBackup& row = GetParam();
  std::string dir = MakeModule({}, row.board);
  ASSERT_EQ(Flashwright(dir, {"/u", kNkBin}).exitCode, 1);
  if (*row.fault) SetFault(dir, std::string(row.fault) + kOsImagePage);
  // Backup, select the OS image, Backup, a name, close both dialogs.
  ProgramResult r = Flashwright(dir, {}, "b\nl 2\nb\n\\Temp\\os.bin\nclose\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("file name [OS Image] >"), std::string::npos) << "the region's name is proposed\n" << r.err;
  EXPECT_NE(r.err.find("| Length:    0x1380000 (19.50 MB)\n| UsedBytes: 0x64000 (400.00 KB)\n"), std::string::npos)
      << r.err;

  std::string path = ModuleRootPath(dir) + "/Temp/os.bin";
  if (row.failure != nullptr) {
    EXPECT_NE(r.err.find(row.failure), std::string::npos) << r.err;
    EXPECT_TRUE(ReadFile(path).empty()) << "no file from a failed backup";
    return;
  }
  std::string file = ReadFile(path);
  ASSERT_GT(file.size(), kFirstRecordData + kOsImageBytes) << r.err;
  std::vector<uint8_t> flash = ModuleFlashContent(dir, kOsImage, kOsImageBytes);
  EXPECT_EQ(file.compare(kFirstRecordData, kOsImageBytes, std::string(flash.begin(), flash.end())), 0);
  ProgramResult info = RunProgram({BuiltProgram("fwimage"), "info", path});
  EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConsoleBackup,
    testing::Values(RegionBackup{"nor", "nor", "", nullptr}, RegionBackup{"nand", "nand", "", nullptr},
                    RegionBackup{"nandCorrectedBit", "nand", "faults.nand_correctable_pages=", nullptr},
                    RegionBackup{"nandUncorrectableBits", "nand",
                                 "faults.nand_uncorrectable_pages=", "Error reading Flash!"}),
    [](const testing::TestParamInfo<RegionBackup>& row) { return row.param.name; });

}  // namespace
