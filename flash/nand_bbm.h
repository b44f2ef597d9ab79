// Bad-block management: the library sees logical blocks, the block map
// turns each into a physical one. A block that fails to program or erase is
// moved to a block of the reserve at the top of the chip and the move is
// recorded twice: in the bad-block list (a page in block 0 that survives
// power cycles) and in the block map, shared with every process that drives
// the chip (above all the module's own NAND driver).
#pragma once

#include <cstdint>

// The shared block map: magic, then the physical block of each logical block.
constexpr const char16_t* BBM_MAP_NAME = u"NAND_FLASH_BBMT";
constexpr uint32_t BBM_MAGIC = 0x544D4242;  // "BBMT"
constexpr uint32_t BBM_MAX_BLOCKS = 8192;   // the largest supported chip
constexpr uint32_t BBM_MAP_BYTES = 4 + 2 * BBM_MAX_BLOCKS;

// The bad-block list: physical page 63, the last page of block 0. Header,
// two bytes nobody reads, then entries {logical block, replacement} of two
// little-endian 16-bit fields each.
constexpr uint32_t BBM_LIST_PAGE = 63;
constexpr uint16_t BBM_LIST_HEADER = 0x524E;  // the bytes 0x4E, 0x52
constexpr uint32_t BBM_LIST_FIRST_ENTRY = 4;
constexpr uint32_t BBM_LIST_ENTRY_BYTES = 4;
constexpr uint32_t BBM_LIST_MAX_ENTRIES = 511;  // what fits in a 2048-byte page
constexpr uint16_t BBM_LIST_END = 0xFFFF;
constexpr uint16_t BBM_LIST_CANCELLED = 0;

// While block 0 is erased its list is kept in the first page of the lowest
// reserve block no entry names, marked in spare words 1 and 2 (word 0 holds
// the bad-block mark), and that block is erased again once the list is back.
constexpr uint32_t BBM_LIST_COPY_MARK = 0x59504F43;  // "COPY"; its complement follows
constexpr uint32_t BBM_LIST_COPY_MARK_WORD = 1;

// The logical page that has no physical page: block 0 gives its last page
// to the list, so logical pages 63-126 sit one page higher.
constexpr uint32_t BBM_NO_PAGE = 0xFFFFFFFF;
constexpr uint32_t BBM_UNSTORED_PAGE = 127;

// BbmReplaceBlock modes.
constexpr uint32_t BBM_MOVE = 1;           // move the block, erase the new one
constexpr uint32_t BBM_MOVE_AND_COPY = 2;  // and copy the old block's pages over

// Blocks at the top of a chip of `blocks` kept for replacements.
uint32_t BbmReserveBlocks(uint32_t blocks);

// Creates or opens the shared map and maps it (once per process). False when
// either fails.
bool BbmOpen();
// The shared map is mapped and carries its magic.
bool BbmMapReady();

// Builds the map from the list page: 1, or 0 with FlashError 7 (no list
// header) or the read's cause. Called with the map lacking its magic. A list
// page left erased by a cut while block 0 was rewritten is programmed again
// from its copy first.
uint32_t BbmBuild();

// Page offset between a logical page's block and its physical block.
uint32_t BbmDelta(uint32_t logicalPage);
// The physical page of a logical page for reads and writes; BBM_NO_PAGE for
// the one page without one. Logical pages 63-126 fill the block the map
// gives logical block 1, logical page 63 its first page.
uint32_t BbmPhysicalPage(uint32_t logicalPage);

// Erases the physical block of the logical block whose first page is given,
// moving it into the reserve when the chip reports a failure; 1 or 0, with
// the outcome in FlashError. Erasing logical block 0 keeps the list page.
uint32_t BbmEraseBlock(uint32_t logicalPage);

// Moves the block that holds `logicalPage` (block 1 for logical page 63) to
// `*replacement` (0: one the table picks; set to the block in force
// afterwards in BBM_MOVE_AND_COPY). 1 or 0.
uint32_t BbmReplaceBlock(uint32_t logicalPage, uint32_t* replacement, uint32_t mode);

// Chooses the replacement for `block` from the list buffer (free pick when
// `*replacement` is 0, else that block or nothing), cancels the block's older
// entry and gives the slot for the new one. 1, or 0 (FlashError 8 when the
// reserve or the list page is full).
uint32_t BbmPickReplacement(uint32_t block, uint32_t* replacement, uint32_t* slot);

// Back to the state at process start (tests only; the view is unmapped).
void BbmResetForTests();
