// The interactive program in the terminal, driven line by line through its
// standard input as a user at a console would drive it.
#include <gtest/gtest.h>

#include "module/module_dir.h"
#include "tests/e2e/flashwright_run.h"
#include "tests/support/temp_module.h"

namespace {

// The sample OS image covers the OS image region of the default board.
constexpr size_t kOsImage = 0x80000, kOsImageBytes = 0x64000;
// Signature, image start and length, then the record's address, length, sum.
constexpr size_t kFirstRecordData = 7 + 8 + 12;

TEST(Console, UpdateFromTheMainDialog) {
  std::string dir = MakeModule();
  // Update, the image, Yes to the confirmation, No to the registry clear and
  // to the reset, then close the main dialog.
  ProgramResult r = Flashwright(dir, {}, "u\n\\USB HD\\IMAGES\\nk.bin\ny\nn\nn\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("[WARNING] (!) This Image will overwrite the following sections:\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("- OS Image"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Image Len: 00064000"), std::string::npos) << "the progress window was drawn";

  std::string unattended = MakeModule();
  ASSERT_EQ(Flashwright(unattended, {"/u", "\\USB HD\\IMAGES\\nk.bin"}).exitCode, 1);
  std::string flash = ReadFile(ModuleFlashPath(dir));
  std::string expected = ReadFile(ModuleFlashPath(unattended));
  EXPECT_EQ(flash.compare(kOsImage, kOsImageBytes, expected, kOsImage, kOsImageBytes), 0);
  EXPECT_NE(flash.compare(kOsImage, kOsImageBytes, ReadFile(ModuleFlashPath(MakeModule())), kOsImage, kOsImageBytes),
            0)
      << "the image differs from what the factory laid down";
}

TEST(Console, BackupOfOneRegionFromTheBackupDialog) {
  std::string dir = MakeModule();
  // Backup, select the OS image, Backup, a name, close both dialogs.
  ProgramResult r = Flashwright(dir, {}, "b\nl 2\nb\n\\Temp\\os.bin\nclose\nclose\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("file name [OS Image] >"), std::string::npos) << "the region's name is proposed\n" << r.err;
  EXPECT_NE(r.err.find("Length:   0x1380000 (19.50 MB)"), std::string::npos) << r.err;

  std::string file = ReadFile(ModuleRootPath(dir) + "/Temp/os.bin");
  ASSERT_GT(file.size(), kFirstRecordData + kOsImageBytes) << r.err;
  EXPECT_EQ(file.compare(kFirstRecordData, kOsImageBytes, ReadFile(ModuleFlashPath(dir)), kOsImage, kOsImageBytes), 0);
  ProgramResult info = RunProgram({BuiltProgram("fwimage"), "info", ModuleRootPath(dir) + "/Temp/os.bin"});
  EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
}

}  // namespace
