// The cells of a NAND chip, kept in flash.img: one record of page data and
// spare area per page, in physical page order over every chip select. Bytes
// are stored inverted, so that a new file of holes reads as erased 0xFF and an
// erase is a zeroed range. Every block of the file is allocated when it is
// opened (file_room.h): a full host disk is an error there, never a SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "module/cell_changes.h"
#include "module/nand_chips.h"

struct NandArray {
  const NandChipType* chip = nullptr;
  uint8_t* bytes = nullptr;  // mapped shared: every process on the module sees every change
  size_t mappedBytes = 0;
  int fd = -1;               // kept for zeroing erased blocks in the file
  CellChanges changes;       // counted in once attached
};

inline uint64_t NandArrayFileBytes(const NandChipType* chip) {
  return uint64_t{NandChipPages(chip)} * kNandPageRecordBytes;
}

// Makes `path` a wholly erased array for `chip` (replacing what was there).
bool NandArrayCreate(const std::string& path, const NandChipType* chip, std::string* error);
// Maps an existing array, its room on the disk allocated; its size must be
// the chip's.
bool NandArrayOpen(const std::string& path, const NandChipType* chip, NandArray* array, std::string* error);
void NandArrayClose(NandArray* array);

// Counts each later program and erase (whole or cut short) in the module's
// count of cell changes (cell_changes.h) under `shmDir`.
bool NandArrayCountChanges(NandArray* array, const std::string& shmDir, std::string* error);
// False while no count is attached.
bool NandArrayChanges(const NandArray* array, uint64_t* count);

// Byte `column` of a page record: 0-2047 data, 2048-2111 spare. The caller
// keeps page < pages and column + length <= kNandPageRecordBytes.
void NandArrayRead(const NandArray* array, uint32_t page, uint32_t column, void* out, uint32_t length);
// Programming only clears bits: each cell becomes old AND new.
void NandArrayProgram(NandArray* array, uint32_t page, uint32_t column, const void* data, uint32_t length);
// Every byte of the block's pages and spare areas becomes 0xFF.
void NandArrayErase(NandArray* array, uint32_t block);
// The first `count` pages of an erase cut short: erased, still taking disk space.
void NandArrayErasePages(NandArray* array, uint32_t firstPage, uint32_t count);
// True when no byte of the block's records has been programmed.
bool NandArrayBlockErased(const NandArray* array, uint32_t block);
