// Updates on a fresh virtual module of either board: image files from the
// image builder, the flash (as the module's OS sees it) snapshotted before
// and compared byte by byte after, and the progress callbacks recorded.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "module/bin_image_builder.h"

constexpr uint32_t kOsBase = 0x80000;

struct CallbackLog {
  std::vector<std::pair<uint32_t, uint32_t>> erase;
  std::vector<std::vector<uint32_t>> sections;  // address, length, checksum
  std::vector<std::pair<uint32_t, uint32_t>> bytes;
  // The n-th call (from 1) of that kind answers 0; 0 never.
  int stopErase = 0;
  int stopSection = 0;
  int stopBytes = 0;
};
extern CallbackLog g_log;
int LogErase(uint32_t a, uint32_t b);
int LogSection(uint32_t address, uint32_t length, uint32_t checksum);
int LogBytes(uint32_t section, uint32_t total);

class UpdateTest : public ::testing::Test {
 protected:
  // Attaches a module of board_ with `settings`, runs FWLInit and clears the log.
  void Attach(const std::vector<std::string>& settings = {});
  void TearDown() override;

  // Places the built image in "\USB HD\IMAGES"; the program's path to it.
  std::u16string Place(const BinImageSpec& spec, const char* name = "update.bin");
  // FWLSetBinFile (verified unless told) and, when that succeeds,
  // FWLDoUpdate with the logging callbacks; the first failing result.
  uint32_t Update(const std::u16string& path, int verify = 1);

  // The whole flash as the module's OS sees it now.
  std::vector<uint8_t> Flash();
  std::vector<uint8_t> FlashRange(uint32_t offset, uint32_t length);
  // flash.img as stored (ModuleFlashCells).
  std::vector<uint8_t> FlashCells();
  // Into the flash past the program, whatever was there.
  void PutFlash(uint32_t offset, const std::vector<uint8_t>& bytes);

  // `data` as the board's driver stores it at flash offset `at`: on NAND with
  // the boot ROM's marker in whatever part of bytes 4-7 it covers.
  std::vector<uint8_t> AsWritten(std::vector<uint8_t> data, uint32_t at) const;

  // What the flash must hold after `spec` was written over `before` with
  // `shift` added to its addresses: the image range erased in whole blocks
  // of the board, the records' bytes in place (on the NAND board with the
  // boot ROM's marker where they cover it). Records from `firstUnwritten` on
  // are left erased (an update stopped before them).
  std::vector<uint8_t> Expected(const std::vector<uint8_t>& before, const BinImageSpec& spec, uint32_t shift,
                                size_t firstUnwritten = SIZE_MAX) const;

  bool Nand() const { return std::string(board_) == "nand"; }

  std::string dir_;
  const char* board_ = "nor";
  uint32_t eraseBlock_ = 0;
};

// UpdateTest on the board the test's parameter names.
class BoardUpdateTest : public UpdateTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { board_ = GetParam(); }
};

// Offsets where two flash contents differ, the first few of them, for messages.
std::string Differences(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// True when every byte outside [from, to) is the same in both.
bool SameOutside(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, uint64_t from, uint64_t to);


inline std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed) { return BinFillerBytes(bytes, seed); }

// A one-record image linked at `start` (so it lands at `start` when that is
// below the flash-offset limit).
inline BinImageSpec OneRecord(uint32_t start, size_t bytes, uint32_t seed = 1) {
  return BinSingleRecordImage(start, Pattern(bytes, seed));
}

// A sector-level stream of the attached module's store as a backup records
// it (the File System region, the store's sector count), holding one run of
// two sectors at 12000, past what the factory's store uses.
FsStreamSpec ThisStoreStream();

// Every layer of the program that keeps process-wide state, back to start.
void ResetUpdateLayers();
