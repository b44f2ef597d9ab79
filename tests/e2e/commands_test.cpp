#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "module/atomic_file.h"
#include "module/board_support.h"
#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "platform/files.h"
#include "platform/platform.h"
#include "tests/support/fat_tools.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/module_content.h"
#include "tests/support/store_sectors.h"
#include "tests/support/temp_module.h"

namespace {

// Commands whose work is the flash driver's, on each board.
class BoardCommands : public testing::TestWithParam<std::string> {
 protected:
  std::string MakeBoardModule(const std::vector<std::string>& settings = {}) {
    return MakeModule(settings, GetParam());
  }
};

TEST_P(BoardCommands, UnattendedSaveWritesTheLiveRegistryIntoFlash) {
  std::string dir = MakeBoardModule();
  std::string live = ReadFile(ModuleRegistryPath(dir)) + "\n[HKEY_LOCAL_MACHINE\\Test]\n\"Marker\"=dword:0000002a\n";
  std::string error;
  ASSERT_TRUE(AtomicWriteFile(ModuleRegistryPath(dir), live, &error)) << error;
  EXPECT_EQ(PersistentRegistry(dir).find("Marker"), std::string::npos);

  ProgramResult r = Flashwright(dir, {"/fu"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err.find("Registry"), std::string::npos) << "unattended: no message\n" << r.err;
  EXPECT_NE(PersistentRegistry(dir).find("\"Marker\"=dword:0000002a"), std::string::npos);
}

TEST_P(BoardCommands, ClearInvalidatesThePersistentRegistryAndSaysSo) {
  std::string dir = MakeBoardModule();
  ASSERT_FALSE(PersistentRegistry(dir).empty());
  ProgramResult r = Flashwright(dir, {"/c"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("Registry successfully cleared"), std::string::npos) << r.err;
  EXPECT_TRUE(PersistentRegistry(dir).empty());
}

TEST(Commands, ColdRestartAfterItsWaitIsRecordedByTheModule) {
  std::string dir = MakeModule();
  ProgramResult r = Flashwright(dir, {"/rc500", "/f"});
  EXPECT_EQ(r.exitCode, kModuleRestartExitStatus) << "the module restarts: the process ends with it\n" << r.err;
  EXPECT_NE(r.err.find("module restarted (cold)"), std::string::npos) << r.err;
  EXPECT_NE(ReadFile(dir + "/events.log").find("cold restart"), std::string::npos);
  EXPECT_EQ(r.err.find("Registry successfully saved"), std::string::npos) << "nothing runs after a restart";
}

// Whatever the program does not understand fails the run, says what it was,
// and runs nothing: no main dialog waits for a person who is not there, no
// switch before or after it runs.
TEST(Commands, WhatIsNotUnderstoodFailsTheRunAndRunsNothing) {
  std::string dir = MakeModule();
  std::string registry = PersistentRegistry(dir);
  const struct {
    std::vector<std::string> args;
    const char* said;
  } cases[] = {
      {{"/x"}, "\"/x\" is not a switch"},
      {{"/cu", "/x", "/f"}, "\"/x\" is not a switch"},
      {{"-u", "nk.bin"}, "\"-u\" is not a switch"},
      {{"/u", "/srv/images/nk.bin"}, "\"/srv/images/nk.bin\" is a host path; image paths are the module's own"},
  };
  for (const auto& c : cases) {
    ProgramResult r = Flashwright(dir, c.args);
    EXPECT_EQ(r.exitCode, 0) << c.said;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Nothing ran."), std::string::npos) << r.err;
    EXPECT_EQ((r.out + r.err).find("Flashwright 3.7.1"), std::string::npos) << "no main dialog\n" << r.err;
  }
  EXPECT_EQ(PersistentRegistry(dir), registry) << "neither the save nor the clear ran";
}

// A script learns on standard error what its command line came to.
TEST(Commands, AFailingSwitchSaysWhatHappened) {
  std::string dir = MakeModule();
  ProgramResult r = Flashwright(dir, {"/fu", "/b", "\\Nowhere\\All.bin", "/f"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err,
            "flashwright: /b \\nowhere\\all.bin failed: FWLBackupToFile error 5 (Cannot open image file "
            "\\nowhere\\all.bin)\n")
      << "one line, and nothing of the save that never ran";
}

TEST(Commands, TheMainDialogClosesWhenItsInputEndsAfterAWrongKey) {
  std::string dir = MakeModule();
  ProgramResult r = Flashwright(dir, {}, "y\n");
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("no button has the key 'y'"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("(end of input: closed)"), std::string::npos) << r.err;
}

TEST_P(BoardCommands, UnattendedUpdateWritesTheImageAndTheRunGoesOn) {
  std::string dir = MakeBoardModule();
  constexpr uint32_t kOsImage = 0x80000, kRegistry = 0x1400000;
  std::vector<uint8_t> before = ModuleFlashContent(dir, 0, kRegistry);
  ProgramResult r = Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\NK.BIN", "/fu"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  std::vector<uint8_t> after = ModuleFlashContent(dir, 0, kRegistry);
  ASSERT_TRUE(before.size() == kRegistry && after.size() == kRegistry);
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + kOsImage, after.begin()))
      << "the bootloader and config block stay";
  EXPECT_FALSE(std::equal(before.begin() + kOsImage, before.end(), after.begin() + kOsImage));

  r = Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\missing.bin", "/fu"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("Cannot open image file"), std::string::npos) << r.err;
}

// Files the update could not write are refused before the flash disk is
// taken offline and anything is erased.
TEST_P(BoardCommands, ImagesThatCannotBeWrittenAreRefusedBeforeAnythingIsErased) {
  constexpr uint32_t kOsBase = 0x80000;
  std::string dir = MakeBoardModule();
  std::vector<uint8_t> before = ModuleFlashContent(dir);
  uint32_t flashBytes = static_cast<uint32_t>(before.size());
  BinImageSpec beyond = BinSingleRecordImage(flashBytes - 0x1000, BinFillerBytes(0x2000, 1));
  BinImageSpec overlapping = BinSingleRecordImage(kOsBase, BinFillerBytes(0x1000, 2));
  overlapping.bin.records.push_back({kOsBase + 0x800, BinFillerBytes(0x1000, 3)});
  std::vector<std::pair<const char*, BinImageSpec>> images = {{"beyond.bin", beyond}, {"overlapping.bin", overlapping}};
  // A whole 256 KB boot area, as on NOR: on NAND the list page takes the
  // place of its last page, so the image's tail could not be written.
  constexpr uint32_t kBootArea = 0x40000;
  if (GetParam() == "nand") {
    images.push_back({"boot-area.bin", BinSingleRecordImage(0, BinFillerBytes(kBootArea, 4))});
  }
  for (const auto& [name, spec] : images) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> bytes;
    std::string error;
    ASSERT_TRUE(BinImageBuild(spec, &bytes, &error) && BinImageStore(dir, name, bytes, &error)) << error;
    ProgramResult r = Flashwright(dir, {"/u", std::string("\\USB HD\\IMAGES\\") + name});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("Not a valid WinCE binary image file!"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(ModuleFlashContent(dir) == before);
}

TEST_P(BoardCommands, BackupSavesEveryRegionQuietly) {
  // With and without a flash disk (then no file-system stream follows). The
  // name is lower-cased like the rest of the command line.
  for (std::vector<std::string> settings : {std::vector<std::string>{}, {"factory.flash_disk_key=none"}}) {
    std::string dir = MakeBoardModule(settings);
    ProgramResult r = Flashwright(dir, {"/b", "\\Temp\\All.bin"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    std::string file = ModuleRootPath(dir) + "/Temp/all.bin";
    ProgramResult info = RunProgram({BuiltProgram("fwimage"), "info", file, "--module", dir});
    EXPECT_EQ(info.exitCode, 0) << info.out << info.err;
    EXPECT_NE(info.out.find("Registry"), std::string::npos) << info.out;
  }
}

// Without a flash disk the whole module fits the BIN part, so the backup alone
// puts back a flash that another image has changed.
TEST_P(BoardCommands, WholeModuleBackupWritesBackTheSameFlash) {
  std::string dir = MakeBoardModule({"factory.flash_disk_key=none"});
  std::vector<uint8_t> original = ModuleFlashContent(dir);
  ASSERT_EQ(Flashwright(dir, {"/b", "\\Temp\\All.bin"}).exitCode, 1);
  Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\nk.bin"});
  constexpr uint32_t kOsImage = 0x80000, kOsImageBytes = 0x64000;
  ASSERT_GE(original.size(), kOsImage + kOsImageBytes);
  std::vector<uint8_t> factoryOs(original.begin() + kOsImage, original.begin() + kOsImage + kOsImageBytes);
  ASSERT_FALSE(ModuleFlashContent(dir, kOsImage, kOsImageBytes) == factoryOs);

  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\all.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(ModuleFlashContent(dir) == original);
}

// A 64 MB flash is mapped as two windows; a buffered program across their
// seam must land in both.
TEST(Commands, UpdateAcrossTheSeamOfTheFlashMappingCompletes) {
  std::string dir = MakeModule({"flash.nor_device_code=0x0019", "factory.flash_disk_key=none"});
  constexpr uint32_t kAt = 0x1FFF000, kBytes = 0x2000;
  std::vector<uint8_t> data(kBytes);
  for (uint32_t i = 0; i < kBytes; i++) data[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(BinImageBuild(BinSingleRecordImage(kAt, data), &file, &error)) << error;
  ASSERT_TRUE(AtomicWriteFile(ModuleRootPath(dir) + "/Temp/seam.bin", std::string(file.begin(), file.end()), &error));

  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\seam.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(ReadFile(ModuleFlashPath(dir)).compare(kAt, kBytes, std::string(data.begin(), data.end())), 0);
}

// What a program on the module sees of a file on the flash disk.
struct VolumeFile {
  std::string content;
  DWORD attributes = 0;
  uint64_t written = 0;
  bool operator==(const VolumeFile&) const = default;
};

VolumeFile ReadVolumeFile(const std::string& dir, const char16_t* path) {
  VolumeFile file;
  std::string error;
  EXPECT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  file.attributes = GetFileAttributesW(path);
  HANDLE handle = CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    FILETIME written{};
    GetFileTime(handle, nullptr, nullptr, &written);
    file.written = uint64_t{written.dwHighDateTime} << 32 | written.dwLowDateTime;
    file.content.resize(GetFileSize(handle, nullptr));
    DWORD done = 0;
    ReadFile(handle, file.content.data(), static_cast<DWORD>(file.content.size()), &done, nullptr);
    CloseHandle(handle);
  }
  PlatformDetachModule();
  return file;
}

// A whole-module backup written into a new module brings back its flash
// disk sector for sector, after the regions the BIN part holds: the files on
// it with their contents, times and attributes.
TEST_P(BoardCommands, WholeModuleBackupRestoresTheFlashDiskIntoANewModule) {
  std::string source = MakeBoardModule();
  const char16_t* kFile = u"\\Hard Disk\\Documents\\Field notes of the service visit.txt";
  std::string error;
  ASSERT_TRUE(PlatformAttachModule(source, false, &error)) << error;
  HANDLE handle = CreateFileW(kFile, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> notes = BinFillerBytes(300000, 7);
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(handle, notes.data(), static_cast<DWORD>(notes.size()), &done, nullptr));
  CloseHandle(handle);
  PlatformDetachModule();
  VolumeFile saved = ReadVolumeFile(source, kFile);
  ASSERT_EQ(saved.content.size(), notes.size());
  auto exportedClean = [](const std::string& dir) {
    std::string image = dir + ".part00";
    ProgramResult exported = RunProgram({BuiltProgram("fwmodule"), "export", dir, "Part00", image});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    ExpectFatClean(image);
  };
  exportedClean(source);
  std::vector<SectorRun> sectors = ModuleStoreSectorRuns(source);
  ProgramResult r = Flashwright(source, {"/b", "\\Temp\\All.bin"});
  ASSERT_EQ(r.exitCode, 1) << r.err;

  std::string target = MakeBoardModule();
  ASSERT_EQ(ReadVolumeFile(target, kFile).attributes, INVALID_FILE_ATTRIBUTES);
  ASSERT_TRUE(AtomicWriteFile(ModuleRootPath(target) + "/Temp/all.bin", ReadFile(ModuleRootPath(source) + "/Temp/all.bin"),
                              &error));
  r = Flashwright(target, {"/u", "\\Temp\\all.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
  EXPECT_TRUE(ModuleStoreSectorRuns(target) == sectors);
  // The restored store mounts with the restart the update asks for, under
  // the module's own flash disk driver.
  Flashwright(target, {"/r"});
  EXPECT_TRUE(ReadVolumeFile(target, kFile) == saved);
  exportedClean(target);
}

// The most natural thing a technician does, backing the whole module up onto
// its own flash disk and updating from there, would erase the module and then
// lose the file with the flash disk: refused with the way out, which works.
TEST_P(BoardCommands, AWholeModuleBackupKeptOnTheFlashDiskIsRefusedWithTheWayOut) {
  std::string dir = MakeBoardModule();
  ASSERT_EQ(Flashwright(dir, {"/b", "\\Hard Disk\\all.bin"}).exitCode, 1);
  std::vector<uint8_t> cells = ModuleFlashCells(dir);
  ProgramResult r = Flashwright(dir, {"/u", "\\Hard Disk\\all.bin"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("copy it to another volume"), std::string::npos) << r.err;
  EXPECT_TRUE(ModuleFlashCells(dir) == cells);

  ProgramResult got = RunProgram({BuiltProgram("fwmodule"), "get", dir, "\\Hard Disk\\all.bin",
                                  ModuleRootPath(dir) + "/Temp/all.bin"});
  ASSERT_EQ(got.exitCode, 0) << got.err;
  r = Flashwright(dir, {"/u", "\\Temp\\all.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  // The restore leaves the storage profile as it was: the flash disk is
  // there for the next run, and a save keeps it mounting after a restart.
  EXPECT_EQ(Flashwright(dir, {"/b", "\\Hard Disk\\again.bin"}).exitCode, 1);
  ASSERT_EQ(Flashwright(dir, {"/fu"}).exitCode, 1);
  EXPECT_NE(PersistentRegistry(dir).find("\"AutoMount\"=dword:00000001"), std::string::npos);
}

// A stream our own tool writes for "the module's own" flash disk lands there.
TEST(Commands, AStreamForTheModulesOwnFlashDiskLands) {
  std::string dir = MakeModule();
  std::string work = MakeTempDir("fwstream"), sectors = work + "/sectors", stream = work + "/fs.stream";
  std::string error;
  ASSERT_TRUE(BinImageWriteFile(sectors, BinFillerBytes(1024, 3), &error)) << error;
  ProgramResult made = RunProgram({BuiltProgram("fwimage"), "stream", stream, "--chunk", "9000", sectors});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  made = RunProgram({BuiltProgram("fwimage"), "build", ModuleRootPath(dir) + "/Temp/fs.bin", "--stream", stream});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\fs.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  std::vector<SectorRun> runs = ModuleStoreSectorRuns(dir);
  EXPECT_TRUE(std::any_of(runs.begin(), runs.end(), [](const SectorRun& run) { return run.first == 9000; }));
}

// Files from a host folder shipped in an image land on the module's flash
// disk, folders and empty files included.
TEST(Commands, FilesShippedAsAFileLevelStreamLandOnTheFlashDisk) {
  std::string dir = MakeModule();
  std::string host = MakeTempDir("fwfiles");
  std::string error;
  std::string text = "what the technician shipped\n";
  ASSERT_TRUE(std::filesystem::create_directory(host + "/Docs"));
  ASSERT_TRUE(AtomicWriteFile(host + "/Docs/Read Me.txt", text, &error)) << error;
  ASSERT_TRUE(AtomicWriteFile(host + "/empty", "", &error)) << error;
  std::string stream = host + ".stream", image = ModuleRootPath(dir) + "/Temp/files.bin";
  ProgramResult made = RunProgram({BuiltProgram("fwimage"), "files", stream, host, "--module", dir});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  made = RunProgram({BuiltProgram("fwimage"), "build", image, "--stream", stream});
  ASSERT_EQ(made.exitCode, 0) << made.err;

  ProgramResult r = Flashwright(dir, {"/u", "\\Temp\\files.bin"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_FALSE(std::filesystem::exists(ModuleRootPath(dir) + "/Hard Disk")) << "they went to the object store";
  Flashwright(dir, {"/r"});  // as the update asks: the volume mounts as the module starts
  ASSERT_TRUE(PlatformAttachModule(dir, false, &error)) << error;
  HANDLE file = CreateFileW(u"\\Hard Disk\\Docs\\Read Me.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE);
  std::string back(100, '\0');
  DWORD done = 0;
  EXPECT_TRUE(ReadFile(file, back.data(), 100, &done, nullptr));
  CloseHandle(file);
  EXPECT_EQ(back.substr(0, done), text);
  EXPECT_NE(GetFileAttributesW(u"\\Hard Disk\\empty"), INVALID_FILE_ATTRIBUTES);
  PlatformDetachModule();
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardCommands, testing::Values("nor", "nand"),
                         [](const testing::TestParamInfo<std::string>& board) { return board.param; });

}  // namespace
