// The flash of a module as its OS sees it (the NOR pair's bytes, or a NAND
// chip's logical flash through its block map), read and changed past the
// program, for tests that compare the flash before and after.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// `length` bytes from `offset`, cut at the end of the flash (a NAND module's
// logical flash is large: read only what a test compares).
std::vector<uint8_t> ModuleFlashContent(const std::string& dir, uint32_t offset = 0, uint32_t length = UINT32_MAX);

// flash.img as stored, every cell (a NAND chip's spare areas too): quicker
// to read than a NAND module's logical flash, for checks that nothing at all
// was written.
std::vector<uint8_t> ModuleFlashCells(const std::string& dir);

// Puts `bytes` at `offset` whatever was there before (the erase blocks they
// touch are erased and written again); a test failure when that fails.
void ModuleFlashPut(const std::string& dir, uint32_t offset, const std::vector<uint8_t>& bytes);

// Bytes of one erase block of the module's flash at `offset`.
uint32_t ModuleEraseBlock(const std::string& dir, uint32_t offset = 0);

// The physical block of a NAND module that holds logical `offset`, as the
// block map built this boot says; UINT32_MAX (and a test failure) without one.
uint32_t ModuleNandBlockOf(const std::string& dir, uint32_t offset);
