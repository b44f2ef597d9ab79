// The program on the NAND board, checked where the module's OS and
// bootloader look: the chip's pages in flash.img, read here with nothing of
// the project's flash or module code, through the bad-block list page.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <numeric>

#include "module/bin_image_builder.h"
#include "module/module_dir.h"
#include "tests/support/flashwright_run.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_module.h"

namespace {

// The board's chip: 2048 blocks of 64 pages, the top 40 blocks the reserve.
constexpr uint32_t kPageBytes = 2048, kSpareBytes = 64, kPagesPerBlock = 64;
constexpr uint32_t kBlocks = 2048, kReserveFirst = 2008;
constexpr uint32_t kBlockBytes = kPageBytes * kPagesPerBlock;
// The list page, and the logical pages that make room for it.
constexpr uint32_t kListPage = 63, kListFirstEntry = 4, kListEntryBytes = 4;
constexpr uint8_t kListHeader[] = {0x4E, 0x52};
constexpr uint16_t kListEnd = 0xFFFF, kCancelled = 0;
constexpr uint32_t kShiftedFirst = 63, kShiftedLast = 126, kPageWithoutCells = 127;

constexpr uint32_t kOsImage = 0x80000;
constexpr uint32_t kBootAreaUsable = 0x3F000;                // whole pages below logical page 127
constexpr uint32_t kBootloaderBytes = 0x2C000;               // the factory's loader and bootloader
constexpr uint8_t kBootMarker[] = {0x48, 0x4D, 0x49, 0x54};  // flash bytes 4-7 on part code 9
constexpr uint32_t kBootMarkerAt = 4;

struct ListEntry {
  uint16_t logical = 0, replacement = 0;
  bool operator==(const ListEntry&) const = default;
};

struct Chip {
  std::string path;
  bool header = false;
  std::vector<ListEntry> list;
  std::vector<uint16_t> map;  // physical block of each logical block
};

// A physical page's data bytes: its record holds the data, then the spare
// bytes, all stored inverted.
std::vector<uint8_t> PhysicalPage(std::ifstream& file, uint32_t page) {
  std::vector<uint8_t> data(kPageBytes);
  file.seekg(std::streamoff{page} * (kPageBytes + kSpareBytes));
  file.read(reinterpret_cast<char*>(data.data()), kPageBytes);
  EXPECT_TRUE(file.good()) << "page " << page;
  for (uint8_t& byte : data) byte = static_cast<uint8_t>(~byte);
  return data;
}

Chip ReadChip(const std::string& dir) {
  Chip chip;
  chip.path = ModuleFlashPath(dir);
  std::ifstream file(chip.path, std::ios::binary);
  std::vector<uint8_t> page = PhysicalPage(file, kListPage);
  chip.header = page[0] == kListHeader[0] && page[1] == kListHeader[1];
  for (uint32_t at = kListFirstEntry; at + kListEntryBytes <= kPageBytes; at += kListEntryBytes) {
    ListEntry entry{static_cast<uint16_t>(page[at] | page[at + 1] << 8),
                    static_cast<uint16_t>(page[at + 2] | page[at + 3] << 8)};
    if (entry.logical == kListEnd) break;
    chip.list.push_back(entry);
  }
  chip.map.resize(kBlocks);
  std::iota(chip.map.begin(), chip.map.end(), uint16_t{0});
  for (const ListEntry& entry : chip.list) {
    bool onChip = entry.logical < kBlocks && entry.replacement < kBlocks;
    EXPECT_TRUE(onChip) << "list entry {" << entry.logical << ", " << entry.replacement << "}";
    if (onChip && entry.logical != kCancelled) chip.map[entry.logical] = entry.replacement;
  }
  return chip;
}

// Whole logical pages as the module's OS reads them: logical pages 63-126
// fill the block the list page gives logical block 1.
std::vector<uint8_t> LogicalBytes(const Chip& chip, uint32_t offset, uint32_t length) {
  std::ifstream file(chip.path, std::ios::binary);
  std::vector<uint8_t> bytes;
  for (uint32_t page = offset / kPageBytes; page < (offset + length) / kPageBytes; page++) {
    if (page == kPageWithoutCells) {
      bytes.insert(bytes.end(), kPageBytes, 0xFF);
      continue;
    }
    uint32_t stored = page >= kShiftedFirst && page <= kShiftedLast ? page + 1 : page;
    std::vector<uint8_t> data =
        PhysicalPage(file, chip.map[stored / kPagesPerBlock] * kPagesPerBlock + stored % kPagesPerBlock);
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
  return bytes;
}

// An OS image over a block the factory moved and one whose programs start
// failing during the update, then two boot-area images (each erasing block
// 0 under the list page): every image is where the list page sends the OS,
// and the list keeps what it held.
TEST(NandChip, ImagesLieWhereTheListPageSendsTheModulesOs) {
  constexpr uint32_t kFactoryMoved = 6, kProgramFails = 9, kOsBlocks = 8;
  std::string dir = MakeModule({"nand.factory_bad_blocks=613,1470," + std::to_string(kFactoryMoved)}, "nand");
  Chip factory = ReadChip(dir);
  ASSERT_TRUE(factory.header);
  ASSERT_NE(factory.map[kFactoryMoved], kFactoryMoved);
  std::vector<uint8_t> bootloader = LogicalBytes(factory, 0, kBootloaderBytes);

  // The block fails part-way, so the pages already in it are copied along.
  SetFault(dir, "faults.nand_program_fail=" + std::to_string(kProgramFails) + "@10");
  std::vector<uint8_t> os = BinFillerBytes(kOsBlocks * kBlockBytes, 4);
  ProgramResult r = UpdateWith(dir, kOsImage, os);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  Chip moved = ReadChip(dir);
  EXPECT_TRUE(moved.header);
  ASSERT_EQ(moved.list.size(), factory.list.size() + 1);
  EXPECT_TRUE(std::equal(factory.list.begin(), factory.list.end(), moved.list.begin()));
  ListEntry added = moved.list.back();
  EXPECT_EQ(added.logical, kProgramFails);
  EXPECT_GE(added.replacement, kReserveFirst);
  for (const ListEntry& entry : factory.list) EXPECT_NE(added.replacement, entry.replacement);
  EXPECT_TRUE(LogicalBytes(moved, kOsImage, static_cast<uint32_t>(os.size())) == os);

  std::vector<uint8_t> filler = BinFillerBytes(kBootAreaUsable, 5);
  std::vector<uint8_t> marked = filler;
  std::copy(std::begin(kBootMarker), std::end(kBootMarker), marked.begin() + kBootMarkerAt);
  for (const auto& [data, expected] : {std::pair{filler, marked}, std::pair{bootloader, bootloader}}) {
    r = UpdateWith(dir, 0, data);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    Chip after = ReadChip(dir);
    EXPECT_TRUE(after.header);
    EXPECT_TRUE(after.list == moved.list);
    EXPECT_TRUE(LogicalBytes(after, 0, static_cast<uint32_t>(data.size())) == expected);
  }
  EXPECT_TRUE(LogicalBytes(ReadChip(dir), kOsImage, static_cast<uint32_t>(os.size())) == os);
}

// The sample bootloader as the flash must hold it: its records from flash
// offset 0 (they are addressed in the boot window), the boot marker in
// bytes 4-7.
std::vector<uint8_t> SampleBootloader(const std::string& dir) {
  std::ifstream file(ModuleRootPath(dir) + "/USB HD/IMAGES/eboot.bin", std::ios::binary);
  std::vector<uint8_t> bin{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  auto word = [&](size_t at) {
    return uint32_t{bin[at]} | bin[at + 1] << 8 | bin[at + 2] << 16 | uint32_t{bin[at + 3]} << 24;
  };
  std::vector<uint8_t> flash;
  for (size_t at = kBinHeaderBytes; at + kBinRecordHeaderBytes <= bin.size();) {
    uint32_t address = word(at), length = word(at + 4);
    if (address == 0 && word(at + 8) == 0) break;
    at += kBinRecordHeaderBytes;
    EXPECT_GE(address, kBinBootWindowFirst);
    EXPECT_LE(at + length, bin.size());
    if (address < kBinBootWindowFirst || at + length > bin.size()) return {};
    uint32_t offset = address - kBinBootWindowFirst;
    if (flash.size() < offset + length) flash.resize(offset + length, 0xFF);
    std::copy_n(bin.begin() + static_cast<std::ptrdiff_t>(at), length, flash.begin() + offset);
    at += length;
  }
  EXPECT_GT(flash.size(), kShiftedFirst * kPageBytes) << "the sample reaches logical page 63";
  EXPECT_EQ(flash.size() % kPageBytes, 0u) << "read back in whole pages";
  if (flash.size() >= kBootMarkerAt + sizeof kBootMarker) {
    std::copy_n(kBootMarker, sizeof kBootMarker, flash.begin() + kBootMarkerAt);
  }
  return flash;
}

// Block 1 of the boot area goes into the reserve while a bootloader is
// written: its erase fails, or a program fails after logical page 63 went
// in, or every program fails from logical page 63 on. Logical page 63 is
// block 1's first page: each bootloader after the move, the sample and a
// different one in between, is read back whole where the list page sends
// the module's boot, and the update's own read-back agrees.
class NandBootBlockMoves : public testing::TestWithParam<const char*> {};

TEST_P(NandBootBlockMoves, EveryLaterBootloaderLiesWhole) {
  std::string dir = MakeModule({}, "nand");
  SetFault(dir, GetParam());
  std::vector<uint8_t> sample = SampleBootloader(dir);
  std::vector<uint8_t> other = BinFillerBytes(kBootAreaUsable, 7);
  std::vector<uint8_t> otherMarked = other;
  std::copy_n(kBootMarker, sizeof kBootMarker, otherMarked.begin() + kBootMarkerAt);
  const std::vector<uint8_t>* expected[] = {&sample, &otherMarked, &sample};
  for (const std::vector<uint8_t>* bootloader : expected) {
    ProgramResult r = bootloader == &sample ? Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\eboot.bin"})
                                            : UpdateWith(dir, 0, other);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    Chip chip = ReadChip(dir);
    ASSERT_TRUE(chip.header);
    EXPECT_GE(chip.map[1], kReserveFirst) << "block 1 moved";
    EXPECT_TRUE(LogicalBytes(chip, 0, static_cast<uint32_t>(bootloader->size())) == *bootloader);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, NandBootBlockMoves,
                         testing::Values("faults.nand_erase_fail=1", "faults.nand_program_fail=1@1",
                                         "faults.nand_program_fail=1"));

// Every free block of the reserve fails as well as the OS image's first:
// the update must end with the library's error, and the list page stays
// usable.
TEST(NandChip, AnUpdateThatUsesUpTheReserveFails) {
  for (const auto& [fault, message] : {std::pair{"faults.nand_erase_fail=", "Error erasing Flash!"},
                                       std::pair{"faults.nand_program_fail=", "Error writing to Flash!"}}) {
    SCOPED_TRACE(fault);
    std::string dir = MakeModule({}, "nand");
    Chip factory = ReadChip(dir);
    std::string blocks = std::to_string(kOsImage / kBlockBytes);
    for (uint32_t block = kReserveFirst; block < kBlocks; block++) {
      auto replaces = [&](const ListEntry& entry) { return entry.replacement == block; };
      if (std::none_of(factory.list.begin(), factory.list.end(), replaces)) blocks += "," + std::to_string(block);
    }
    SetFault(dir, fault + blocks);
    ProgramResult r = Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\nk.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    Chip after = ReadChip(dir);
    EXPECT_TRUE(after.header);
    ASSERT_GE(after.list.size(), factory.list.size());
    EXPECT_TRUE(std::equal(factory.list.begin(), factory.list.end(), after.list.begin()));
  }
}

// Factory bad blocks that fill the reserve: the module works, data for them
// lands in the reserve, and the next block to go bad fails the update with
// its message. One more than the reserve holds is refused by the factory.
TEST(NandChip, AReserveTheFactoryFilledTakesNoMore) {
  constexpr uint32_t kFirstBad = kOsImage / kBlockBytes + 1, kReserve = kBlocks - kReserveFirst, kOsBlocks = 8;
  auto badBlocks = [](uint32_t count) {
    std::string list = "nand.factory_bad_blocks=" + std::to_string(kFirstBad);
    for (uint32_t b = kFirstBad + 1; b < kFirstBad + count; b++) list += "," + std::to_string(b);
    return list;
  };
  ProgramResult refused = RunProgram({BuiltProgram("fwmodule"), "create", MakeTempDir("fwfull"), "--board", "nand",
                                      "--set", badBlocks(kReserve + 1)});
  EXPECT_NE(refused.exitCode, 0);
  EXPECT_NE(refused.err.find("more bad blocks than the reserve"), std::string::npos) << refused.err;

  std::string dir = MakeModule({badBlocks(kReserve)}, "nand");
  ASSERT_EQ(ReadChip(dir).list.size(), kReserve);
  std::vector<uint8_t> os = BinFillerBytes(kOsBlocks * kBlockBytes, 6);
  ProgramResult r = UpdateWith(dir, kOsImage, os);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(LogicalBytes(ReadChip(dir), kOsImage, static_cast<uint32_t>(os.size())) == os);

  SetFault(dir, "faults.nand_program_fail=" + std::to_string(kFirstBad - 1));
  r = UpdateWith(dir, kOsImage, os);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("Error writing to Flash!"), std::string::npos) << r.err;
}

// The update reads back what it wrote: a bit error the code corrects is no
// failure, one it cannot correct fails the update with its message.
TEST(NandChip, BitErrorsWhereTheUpdateReadsBack) {
  constexpr uint32_t kOsImageFirstPage = kOsImage / kPageBytes;  // block 4 is where the factory left it
  for (const auto& [fault, exitCode] : {std::pair{"faults.nand_correctable_pages=", 1},
                                        std::pair{"faults.nand_uncorrectable_pages=", 0}}) {
    SCOPED_TRACE(fault);
    std::string dir = MakeModule({fault + std::to_string(kOsImageFirstPage)}, "nand");
    ProgramResult r = Flashwright(dir, {"/u", "\\USB HD\\IMAGES\\nk.bin"});
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    EXPECT_EQ(r.err.find("Error reading Flash!") != std::string::npos, exitCode == 0) << r.err;
  }
}

// Pages the module's OS wrote carry codes as its driver writes them: a bit
// error under the Registry (read by the program's driver) or the flash disk
// (read through the module's OS) gives the clean bytes, one the code cannot
// repair fails the backup with its message.
TEST(NandChip, BitErrorsUnderTheOsRegionsAreRepairedOrFailTheBackup) {
  constexpr uint32_t kRegistryPage = 0x1400000 / kPageBytes;  // the live half's page, written in parts
  constexpr uint32_t kFlashDiskPage = 0x14D0000 / kPageBytes;  // sectors the file system holds
  for (uint32_t page : {kRegistryPage, kFlashDiskPage}) {
    for (const char* fault : {"faults.nand_correctable_pages=", "faults.nand_uncorrectable_pages="}) {
      SCOPED_TRACE(std::string(fault) + std::to_string(page));
      bool repairable = std::string(fault).find("uncorrectable") == std::string::npos;
      std::string dir = MakeModule({}, "nand");
      ASSERT_EQ(Flashwright(dir, {"/b", "\\Temp\\Clean.bin"}).exitCode, 1);
      SetFault(dir, fault + std::to_string(page));
      ProgramResult r = Flashwright(dir, {"/b", "\\Temp\\All.bin"});
      EXPECT_EQ(r.exitCode, repairable ? 1 : 0) << r.err;
      std::string temp = ModuleRootPath(dir) + "/Temp/";
      if (repairable) EXPECT_TRUE(ReadFile(temp + "all.bin") == ReadFile(temp + "clean.bin"));
      else EXPECT_NE(r.err.find("/b \\temp\\all.bin failed"), std::string::npos) << r.err;
    }
  }
}

// A chip that never answers ends the run in bounded time, and its error
// line (and with --verbose, the log) says what was waited for.
TEST(NandChip, AFlashThatNeverAnswersIsNamed) {
  std::string dir = MakeModule({}, "nand");
  SetFault(dir, "faults.never_ready=true");
  ProgramResult r = Flashwright(dir, {"--verbose", "/b", "\\Temp\\All.bin"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_NE(r.err.find("the flash did not answer: waited for the controller to take a command, status 0x000"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("nand: no answer waiting for"), std::string::npos) << r.err;
}

}  // namespace
