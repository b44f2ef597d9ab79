// The PXA3xx data flash controller (registers at physical 0x43100000) and the
// NAND chip behind it, as controller commands on physical pages. The module's
// own OS driver owns the same controller: whoever starts first sets it up, a
// later one adopts what it finds and puts the control register back after
// each of its operations.
#pragma once

#include <cstdint>

#include "platform/types.h"

// NAND status of a controller command: one outcome per command.
constexpr uint32_t NAND_STATUS_OK = 0;
constexpr uint32_t NAND_STATUS_TIMEOUT = 1;        // the controller did not signal in time
constexpr uint32_t NAND_STATUS_UNCORRECTABLE = 2;
constexpr uint32_t NAND_STATUS_BAD_BLOCK = 4;      // the chip reported a program or erase failure
constexpr uint32_t NAND_STATUS_CORRECTED = 8;
constexpr uint32_t NAND_STATUS_UNKNOWN_CHIP = 16;

// The chip in use, derived from its table entry when it was identified.
struct NandGeometry {
  uint32_t pageSize;       // bytes: 2048 (512 for the default entry)
  uint32_t pagesPerBlock;  // 64 (32 for the default entry)
  uint32_t blockBytes;
  uint32_t blockCount;
  uint32_t pageShift;      // log2 of the page size
  uint32_t blockShift;     // log2 of the pages per block
};

// The largest page any chip has: the size of every page buffer.
constexpr uint32_t NAND_MAX_PAGE_BYTES = 2048;
constexpr uint32_t NAND_MAX_SPARE_BYTES = 64;

// Maps the controller (once per process) and identifies the chip. `full`
// sets the controller up from scratch (nobody has built the shared block
// map yet); otherwise the control value in the register is adopted.
// 0, NAND_STATUS_TIMEOUT or NAND_STATUS_UNKNOWN_CHIP.
uint32_t NandControllerInit(bool full);

// The identification word: maker code in bits 0-7, device code in bits 8-15.
uint32_t NandReadId(uint32_t* id);
uint32_t NandReset();

// One page and up to `spareLength` of its spare bytes (a multiple of 4, at
// most NandSpareBytes()); null drops (reads) or sends 0xFF for (programs)
// that part. Both null: NAND_STATUS_TIMEOUT.
uint32_t NandReadPage(uint32_t* data, uint32_t* spare, uint32_t spareLength, uint32_t page);
uint32_t NandProgramPage(const uint32_t* data, const uint32_t* spare, uint32_t spareLength, uint32_t page);
// Erases the block whose first physical page is `page`.
uint32_t NandEraseBlock(uint32_t page);

// Hardware error correction and spare-area transfer in the working control
// value, for the commands that follow; each returns the previous setting.
int NandSetEcc(int on);
int NandSetSpare(int on);
bool NandEccEnabled();
// Spare bytes a page transfer carries: 0 with the spare transfer off, 40
// with error correction on (the controller keeps the rest for its code), 64.
uint32_t NandSpareBytes();

// Puts back the control value found (or set up) at initialisation. Every
// operation built on the commands ends with it.
void NandRestoreControl();

// Turns a NAND status into FlashError and a result: 1 for success (also a
// corrected bit error), 0 for failure.
uint32_t NandStatusResult(uint32_t status);
// A read that delivered its data: clean or with its bit error corrected.
bool NandReadSucceeded(uint32_t status);

// The controller reports an erased page as uncorrectable (its code over
// erased data does not match erased code bytes), as real drivers know; they
// tell it from a damaged page by its data. Whether `bytes` of page data
// read erased but for at most the one bit per correction step the code
// would repair (`flips` gets the cleared bits).
bool NandDataBlank(const uint32_t* words, uint32_t bytes, uint32_t* flips);
// Whether a page's 64 spare bytes show it carries no whole code: every code
// byte erased (programmed without correction), or a step whose code the
// module's OS driver voided when it programmed the step again. Such a page
// reads uncorrectable whatever it holds.
bool NandCodesAbsent(const uint32_t* spare);

// What the last status wait that ran out of time waited for, with the
// status it saw; empty when none has.
const WCHAR* NandNoAnswer();

const NandGeometry& NandChipGeometry();

// Chip class of an identification word: 1, 2 or 3, 0 for a chip not in the
// table. Class 3 (two dies behind two chip selects) reads at raised priority.
uint32_t NandChipClassOf(uint32_t id);

// Back to the state at process start (tests only; the window is released).
void NandControllerResetForTests();
